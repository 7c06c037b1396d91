#pragma once
// Audio from the default ALSA input through libavdevice, as interleaved PCM
// in the format asked for (8-bit unsigned or 16-bit signed samples).

#include <QByteArray>
#include <QString>

#include <memory>

namespace platform::capture {

class AudioInput
{
public:
    AudioInput();
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // False with a reason when there is no usable input.
    bool Open(int sampleRate, int channels, int bitsPerSample, QString* error);
    // The next block of samples; false at the end or on failure.
    bool Read(QByteArray& samples, QString* error);
    void Close();

private:
    struct State;
    std::unique_ptr<State> d;
};

}  // namespace platform::capture
