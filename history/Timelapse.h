#pragma once
// A day's time-lapse: the pictures of a day folder, read one at a time, as
// H.264 (yuv420p) in an MP4 whose index comes first, so that a browser plays
// it while it loads. Each frame shows its time (from the picture's name) in
// the bottom-left corner. Runs where it is called: meant for a worker thread.

#include <QString>

#include <atomic>
#include <functional>

namespace history {

struct TimelapseOptions {
    int framesPerSecond = 25;
    // Lowers the calling thread (and the encoder's threads) to the lowest
    // priority first; set it only on a thread of its own.
    bool lowPriority = false;
};

enum class TimelapseStatus { Made, NoPictures, Cancelled, Failed };

struct TimelapseResult {
    TimelapseStatus status = TimelapseStatus::Failed;
    QString error;  // Failed, NoPictures: why
    int frames = 0;
    int skipped = 0;  // pictures that could not be read
    int width = 0;
    int height = 0;
};

class TimelapseMaker
{
public:
    // Percent of the day's pictures done, 0 to 100, each value once; on the
    // calling thread.
    std::function<void(int percent)> OnProgress;
    // A picture skipped, with its name and why.
    std::function<void(const QString& note)> OnNote;

    // Writes outputPath (replacing it) from the pictures named HH-MM-SS.jpg in
    // dayFolder. The video takes the first good picture's size, halved when
    // it is wider than 1920. Until it is complete it is outputPath + ".part":
    // a cancelled or failed run leaves no file behind.
    TimelapseResult Make(const QString& dayFolder, const QString& outputPath, const TimelapseOptions& options = {});

    // From any thread: the running Make ends soon with Cancelled, and so does
    // any later one (a maker serves one video).
    void Cancel() { cancelled_ = true; }

private:
    std::atomic<bool> cancelled_{false};
};

}  // namespace history
