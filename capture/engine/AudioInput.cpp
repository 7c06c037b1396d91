#include "capture/engine/AudioInput.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <QLibrary>

#include <mutex>

namespace platform::capture {

struct AudioInput::State {
    AVFormatContext* input = nullptr;
    AVPacket* packet = nullptr;
    int bits = 8;
};

namespace {

// libavdevice brings some seventy libraries (filters, speech, 3-D sound...)
// that only recording with sound needs: loaded then, not at every start.
void RegisterInputDevices()
{
    QLibrary library(QStringLiteral("avdevice"), LIBAVDEVICE_VERSION_MAJOR);
    if (auto registerAll = reinterpret_cast<decltype(&avdevice_register_all)>(library.resolve("avdevice_register_all")))
        registerAll();
}

}  // namespace

AudioInput::AudioInput() : d(std::make_unique<State>()) {}

AudioInput::~AudioInput()
{
    Close();
}

bool AudioInput::Open(int sampleRate, int channels, int bitsPerSample, QString* error)
{
    Close();
    static std::once_flag registered;
    std::call_once(registered, RegisterInputDevices);
    const AVInputFormat* alsa = av_find_input_format("alsa");
    if (!alsa) {
        if (error)
            *error = QStringLiteral("No audio input device was found; capturing video only.");
        return false;
    }
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "sample_rate", sampleRate, 0);
    av_dict_set_int(&options, "channels", channels, 0);
    const int rc = avformat_open_input(&d->input, "default", alsa, &options);
    av_dict_free(&options);
    if (rc < 0) {
        d->input = nullptr;
        if (error)
            *error = QStringLiteral("No audio input device was found; capturing video only.");
        return false;
    }
    d->packet = av_packet_alloc();
    d->bits = bitsPerSample;
    return true;
}

bool AudioInput::Read(QByteArray& samples, QString* error)
{
    if (!d->input)
        return false;
    const int rc = av_read_frame(d->input, d->packet);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("The audio input stopped.");
        return false;
    }
    // The ALSA input delivers signed 16-bit samples.
    const auto* s16 = reinterpret_cast<const std::int16_t*>(d->packet->data);
    const int count = d->packet->size / 2;
    if (d->bits == 8) {
        samples.resize(count);
        for (int i = 0; i < count; ++i)
            samples[i] = char(std::uint8_t((s16[i] >> 8) + 128));
    } else {
        samples = QByteArray(reinterpret_cast<const char*>(d->packet->data), count * 2);
    }
    av_packet_unref(d->packet);
    return true;
}

void AudioInput::Close()
{
    av_packet_free(&d->packet);
    if (d->input)
        avformat_close_input(&d->input);
}

}  // namespace platform::capture
