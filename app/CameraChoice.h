#pragma once
// The camera the user chose, followed by what it is rather than where it
// sits: driver indexes move as cameras come and go, so "vcap.sif" keeps the
// device's identity beside the index, and a lost camera is opened again when
// it comes back.

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <utility>

class TVideoCap;

namespace app {

// The driver index to select at start: the stored index while it names the
// stored device (or none is stored by name, as in older files); else the
// index where that device now is; -1 (no driver) when it is absent.
int StoredDriverIndex(const QString& fileName);

// The driver the user chose, kept in the driver file for the next run, also
// when its device was lost during this one.
class TDriverChoice
{
public:
    explicit TDriverChoice(QString fileName) : fileName_(std::move(fileName)) {}

    // Selects the stored driver in cap (see StoredDriverIndex); a camera
    // absent at start is still the one chosen. Raises what selecting raises.
    void Restore(TVideoCap& cap);
    // Only the user's own choice changes the driver kept.
    void Remember(const TVideoCap& cap);
    // Writes the choice; nothing is reported, as the program is ending.
    void Save() const noexcept;

private:
    QString fileName_;
    int index_ = -1;
    QString identity_;
};

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
