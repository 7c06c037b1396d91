#pragma once
// Shared pieces of the fuzz targets: a reader that takes choices from the
// front of the input, the application object, a scratch folder, and a check
// that turns a broken invariant into a crash libFuzzer records.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzz {

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return size_ - pos_; }
    std::uint8_t Byte();  // 0 when exhausted
    bool Bool() { return Byte() & 1; }
    // A value in [low, high].
    int Range(int low, int high);
    // Up to count bytes.
    QByteArray Bytes(std::size_t count);
    // Bytes up to (not including) the next zero byte, or the rest.
    QByteArray Field();
    QByteArray Rest() { return Bytes(Left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Creates the application object once (posted messages, notifiers).
void EnsureApplication();

// A private folder for the files a target writes; ends in '/'.
const QString& ScratchFolder();

[[noreturn]] void Fail(const char* what, const char* file, int line);

}  // namespace fuzz

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            ::fuzz::Fail(#cond, __FILE__, __LINE__);                                                         \
    } while (0)
