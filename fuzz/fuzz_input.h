// What the fuzz targets share: a reader over the fuzzer's bytes that never
// runs past them, and a verifier that crashes the way the fuzzer notices.
#pragma once

#include "platform/hosted/hosted.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t Left() const { return size_ - at_; }

    template <typename T> T Take()
    {
        T value{};
        size_t n = sizeof(T) < Left() ? sizeof(T) : Left();
        std::memcpy(&value, data_ + at_, n);
        at_ += n;
        return value;
    }

    // A value in 0..count-1 (0 once the bytes run out).
    uint32_t Pick(uint32_t count) { return count ? Take<uint32_t>() % count : 0; }
    bool Flag() { return Take<uint8_t>() & 1; }

    std::vector<uint8_t> Bytes(size_t n)
    {
        n = n < Left() ? n : Left();
        std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
        at_ += n;
        return bytes;
    }

    std::vector<uint8_t> Rest() { return Bytes(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A verifier failure or a broken property aborts, so the fuzzer keeps the input.
inline void CrashOnVerifierFailure()
{
    hosted::SetVerifierHandler([](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::abort();
    });
}

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

} // namespace fuzz
