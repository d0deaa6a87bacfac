// Equality to the last bit, for results that must repeat exactly: NaN
// payloads and the sign of zero count, which == does not see. Values are
// compared one by one, never as raw memory, so padding never counts.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool same_bits(const double *a, const double *b, std::size_t n) {
    for (std::size_t i = 0; i < n; i++)
        if (!same_bits(a[i], b[i])) return false;
    return true;
}

inline bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && same_bits(a.data(), b.data(), a.size());
}

template <std::size_t N>
bool same_bits(const std::array<double, N> &a, const std::array<double, N> &b) {
    return same_bits(a.data(), b.data(), N);
}

// The same bits, or NaN on both sides (whatever its sign and payload): what
// the kernel paths promise each other (gauss2_simd.h).
inline bool same_values(double a, double b) { return same_bits(a, b) || (a != a && b != b); }

inline bool same_values(const std::vector<double> &a, const std::vector<double> &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!same_values(a[i], b[i])) return false;
    return true;
}
