#pragma once
// Shared by the capture benchmark and the preview window.

class QString;
class TVideoCap;

// Selects the test-pattern camera, opens it and switches it to 640 x 480
// through its format dialog (answered by the program itself).
bool OpenTestPattern640(TVideoCap& cap);
// The same at another of its sizes; an open camera only changes size.
bool OpenTestPattern(TVideoCap& cap, int width, int height);
// The camera of that driver name, (re)connected and switched to a size.
bool OpenCamera(TVideoCap& cap, const QString& driver, int width, int height);

// Runs the event loop, sleeping while there is nothing to do.
void Pump(int ms);

// Processor time of this process so far, user and system, in seconds.
double ProcessCpuSeconds();
