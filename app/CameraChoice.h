#pragma once
// The camera the user chose, followed by what it is rather than where it
// sits: driver indexes move as cameras come and go, so "vcap.sif" keeps the
// device's identity beside the index, and a lost camera is opened again when
// it comes back.

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class TVideoCap;

namespace app {

// The driver index to select at start: the stored index while it names the
// stored device (or none is stored by name, as in older files); else the
// index where that device now is; -1 (no driver) when it is absent.
int StoredDriverIndex(const QString& fileName);

// Waits for a lost camera to come back and reopens it without a prompt.
class TCameraReturn : public QObject
{
public:
    static constexpr int kRetryMs = 10000;

    explicit TCameraReturn(TVideoCap& cap);

    // The camera with this identity went away: look out for it.
    void Lost(const QString& identity);
    // The identity looked out for; empty when none.
    const QString& Awaited() const { return awaited_; }
    // Looks once; true when the camera was found and opened again.
    bool TryNow();

    // The camera is open again, under its (possibly new) index.
    std::function<void()> OnReturned;

private:
    TVideoCap& cap_;
    QString awaited_;
    QTimer retry_;
};

}  // namespace app
