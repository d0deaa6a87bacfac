// Helpers shared by the fuzz targets: a reader that turns the fuzzer's bytes
// into sizes, indices and doubles (running out of bytes yields zeros, so every
// input is valid), and a check that ends the run as a crash.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

// A failed property is a finding: print it and abort, which both libFuzzer
// and the corpus replay report as a crash.
#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

class FuzzInput {
   public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    template <class T>
    T raw() {
        T v{};
        unsigned char buf[sizeof(T)] = {};
        for (size_t i = 0; i < sizeof(T); i++) buf[i] = byte();
        std::memcpy(&v, buf, sizeof(T));
        return v;
    }

    // An integer in [lo, hi] from one or two bytes.
    int64_t in_range(int64_t lo, int64_t hi) {
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        const uint64_t v = span > 256 ? raw<uint16_t>() : byte();
        return lo + static_cast<int64_t>(v % span);
    }

    // A 64-bit index: mostly near [lo, hi], sometimes an extreme value or
    // any 64-bit pattern.
    int64_t index(int64_t lo, int64_t hi) {
        static constexpr int64_t kExtremes[] = {
            std::numeric_limits<int64_t>::min(),
            std::numeric_limits<int64_t>::max(),
            std::numeric_limits<int64_t>::min() + 1,
            std::numeric_limits<int64_t>::max() - 1,
            int64_t{1} << 32,
            (int64_t{1} << 32) + 1,
            (int64_t{1} << 32) - 1,
            -(int64_t{1} << 32),
            (int64_t{1} << 31),
            -(int64_t{1} << 31),
            (int64_t{1} << 31) - 1,
            -1,
            0,
            (int64_t{1} << 32) + 5,
            (int64_t{1} << 62),
        };
        const uint8_t kind = byte();
        if (kind < 200) return in_range(lo, hi);
        if (kind < 240) return kExtremes[byte() % (sizeof kExtremes / sizeof kExtremes[0])];
        return raw<int64_t>();
    }

    // A double: small values with fractions, whole numbers, special values or
    // any 64-bit pattern.
    double real() {
        static const double kSpecial[] = {
            0.0,
            -0.0,
            1.0,
            -1.0,
            0.5,
            1.5,
            5.5,
            1e10,
            -1e10,
            1e300,
            -1e300,
            DBL_MAX,
            -DBL_MAX,
            DBL_MIN,
            5e-324,
            -5e-324,
            std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(),
            -std::numeric_limits<double>::quiet_NaN(),
            9223372036854775808.0,
            -9223372036854775808.0,
            4294967296.0,
            4294967296.5,
            0.999999999,
            -0.999999999,
            1.0000000000000002,
            6.283185308,
        };
        const uint8_t kind = byte();
        if (kind < 96) return (static_cast<double>(raw<int16_t>()) / 64.0);  // -512 .. 512 in 1/64 steps
        if (kind < 192) return kSpecial[byte() % (sizeof kSpecial / sizeof kSpecial[0])];
        return raw<double>();
    }

   private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Byte-wise equality; empty ranges (whose pointers may be null) are equal.
inline bool same_bytes(const void *a, const void *b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }
