#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace trklib::fuzz {

// Reads a fuzzer's input front to back as the values a target builds its
// calls from: integers and floats as their little-endian bytes, byte runs
// as they stand. Past the end every value reads as zero and byte runs come
// out short, so that any input, however short, makes one well-defined run.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    template <typename T> T take()
    {
        static_assert(std::is_trivially_copyable_v<T>, "taken as its bytes");
        unsigned char bytes[sizeof(T)] = {};
        const std::size_t n = std::min(sizeof(T), remaining());
        if (n > 0)
            std::memcpy(bytes, data_ + pos_, n);
        pos_ += n;
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    // A number in [0, bound) from two bytes; 0 when bound is 0.
    int below(int bound)
    {
        const int value = take<std::uint16_t>();
        return bound > 0 ? value % bound : 0;
    }

    // Up to count bytes, fewer at the end.
    QByteArray bytes(std::size_t count)
    {
        const std::size_t n = std::min(count, remaining());
        const QByteArray run(reinterpret_cast<const char*>(data_ + pos_), int(n));
        pos_ += n;
        return run;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A broken promise of the code under test: says which and aborts, which both
// libFuzzer and the corpus driver report as a crash.
inline void check(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

} // namespace trklib::fuzz
