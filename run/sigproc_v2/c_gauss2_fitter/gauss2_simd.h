// Double vectors of four and eight lanes (GCC's vector extensions) and the
// inline vector exp and log of the fit's kernels, written once for either
// width.
//
// Everything here is always inlined into its caller, so that a caller built
// for an instruction set (the kernels' paths, gauss2_kernel.cpp) gets its own
// instructions and no vector crosses a call. NaN and infinity propagate as in
// scalar code (no fast-math).
//
// Internal to the library; nothing here is exported.
#pragma once

// The helpers take and return vectors by value. Always inlined, they never
// pass one across a call, so GCC's note that such calls change their ABI
// with AVX does not apply to them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace gauss2 {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));
typedef unsigned long long v4u __attribute__((vector_size(32)));  // bits that wrap
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8l __attribute__((vector_size(64)));
typedef unsigned long long v8u __attribute__((vector_size(64)));

// The lanes of a double vector type, its integer vector of the same shape
// (what its comparisons yield), and the same vector as seen in memory:
// aligned to its size and allowed to alias doubles.
template <class V>
constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(double));
template <class V>
struct VectorTraits;
template <>
struct VectorTraits<v4d> {
    using ints = v4l;
    using bits = v4u;
    typedef double memory __attribute__((vector_size(32), aligned(32), may_alias));
};
template <>
struct VectorTraits<v8d> {
    using ints = v8l;
    using bits = v8u;
    typedef double memory __attribute__((vector_size(64), aligned(64), may_alias));
};
template <class V>
using ints_of = typename VectorTraits<V>::ints;

template <class V = v4d>
[[gnu::always_inline]] inline V load(const double *p) {
    return *reinterpret_cast<const typename VectorTraits<V>::memory *>(p);
}
template <class V>
[[gnu::always_inline]] inline void store(double *p, V v) {
    *reinterpret_cast<typename VectorTraits<V>::memory *>(p) = v;
}
// v in every lane, -0.0 as +0.0. Written as a sum with the zero vector:
// these helpers are compiled for the baseline before they are inlined into
// a path's code, and there GCC takes an eight-lane vector made of lanes (or
// a shuffle) apart into one masked broadcast per lane, as it takes apart
// the && or & of two comparisons; arithmetic and single comparisons it
// keeps whole. The helpers here and in gauss2_passes.h avoid both forms.
template <class V = v4d>
[[gnu::always_inline]] inline V splat(double v) {
    return V{} + v;
}
// Four-lane halves of a vector, H = 0 the lower: the vector itself when it
// has four lanes. (Through memory, which GCC turns into the register's lower
// half and one extraction of the upper.)
template <int H>
[[gnu::always_inline]] inline v4d half(v4d v) {
    static_assert(H == 0);
    return v;
}
template <int H>
[[gnu::always_inline]] inline v4d half(v8d v) {
    static_assert(H == 0 || H == 1);
    alignas(64) double lanes[8];
    store(lanes, v);
    return load<v4d>(lanes + 4L * H);
}

// The sum of the four lanes, in pairs: (v0 + v1) + (v2 + v3).
[[gnu::always_inline]] inline double hsum(v4d v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// hsum of four vectors at once, lane l the sum of the l-th: the same pairs
// added in the same order, so the same bits, in seven instructions instead
// of four times four.
[[gnu::always_inline]] inline v4d hsum4(v4d a, v4d b, v4d c, v4d d) {
    const v4d ab = __builtin_shufflevector(a, b, 0, 4, 2, 6) + __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const v4d cd = __builtin_shufflevector(c, d, 0, 4, 2, 6) + __builtin_shufflevector(c, d, 1, 5, 3, 7);
    return __builtin_shufflevector(ab, cd, 0, 1, 4, 5) + __builtin_shufflevector(ab, cd, 2, 3, 6, 7);
}

// Arguments are clamped to this range first, so that 2^k stays a normal
// number: exp(-707) = 9.0e-308 is the smallest result. Below it (exp(-745)
// is the smallest subnormal, exp(-800) and exp(-inf) are 0) vexp returns
// vexp(-707); the fit's exponents are never positive, so the upper clamp
// does not arise there.
constexpr double kVexpLowest = -707.0;
constexpr double kVexpHighest = 709.0;

// exp on each lane.
//
// x = k ln2 + r with k = round(x / ln2) and |r| <= ln2 / 2 (Cody and Waite:
// ln2 in two parts, the high part with its last 11 bits zero so that k times
// it is exact); exp(r) = 1 + r + r^2 (c2 + c3 r + ... + c11 r^9) by Horner;
// 2^k multiplied in as a double built from its exponent bits. NaN stays NaN:
// the clamps keep it, and it poisons the polynomial.
//
// The coefficients c2..c11 approximate exp's Taylor coefficients 1/k!; they
// were fitted for relative error on [-ln2/2, ln2/2], by a run that was not
// recorded with them. tools/exp_coefficients.py measures their approximation
// error, 2.5e-17, and regenerates the minimax set by the Remez exchange in
// 60-digit decimal arithmetic: 1.1e-17 once rounded to doubles. Either is
// well below the 1.1e-16 of rounding the result; the set below is kept so
// that fits stay the same to the last bit. (Swapped in, the regenerated set
// lowers vexp's largest error over [-707, 0] from 1.02 to 0.91 ulp with FMA
// and from 1.28 to 1.19 ulp without.)
//
// Error of the whole function over [-707, 0] (tests/test_exp.cpp): at most
// 1.02 ulp of the exact exp in the versions with FMA, 1.28 ulp in the
// baseline version; never more than 1 ulp from glibc's exp.
template <class V>
[[gnu::always_inline]] inline V vexp(V x) {
    using I = ints_of<V>;
    x = x < kVexpLowest ? splat<V>(kVexpLowest) : x;
    x = x > kVexpHighest ? splat<V>(kVexpHighest) : x;
    const V shifter = splat<V>(0x1.8p52);  // adding it rounds to an integer held in the low bits
    const V kd = x * 1.4426950408889634 + shifter;
    const V k = kd - shifter;
    V r = x - k * 0x1.62e42fefa3800p-1;
    r = r - k * 0x1.ef35793c7673p-45;
    V p = splat<V>(0x1.ad4f46306d47ap-26);
    p = p * r + 0x1.28b3011cb0f87p-22;
    p = p * r + 0x1.71df5454d2ae1p-19;
    p = p * r + 0x1.a01992e57e83cp-16;
    p = p * r + 0x1.a01a0109028e6p-13;
    p = p * r + 0x1.6c16c18778549p-10;
    p = p * r + 0x1.111111113267ep-7;
    p = p * r + 0x1.555555554f3a0p-5;
    p = p * r + 0x1.5555555555499p-3;
    p = p * r + 0x1.0000000000010p-1;
    p = p * r + 1.0;
    p = p * r + 1.0;
    // bits(kd) - bits(shifter) is k; adding the exponent bias 1023 and
    // moving it into the exponent field gives 2^k.
    const long long bias = static_cast<long long>(0x4338000000000000LL) - 1023;
    const V scale = reinterpret_cast<V>((reinterpret_cast<I>(kd) - bias) << 52);
    return p * scale;
}

// log on each lane, for arguments in [DBL_MIN, DBL_MAX]; NaN for NaN, zero,
// negative and subnormal arguments, +inf for +inf.
//
// x = 2^k (1 + f) with 1 + f in [sqrt(1/2), sqrt(2)), taken from the bits:
// subtracting the bits of sqrt(1/2) puts k in the exponent field and leaves
// 1 + f - sqrt(1/2) in the significand. With s = f / (2 + f), |s| < 0.1716,
// log(1 + f) = 2 atanh(s) = 2s + s R(s^2), R(z) = sum_n 2 z^n / (2n + 1);
// the series is cut after z^10, whose successor is 6e-19 relative. It is
// summed as f - (f^2/2 - s (f^2/2 + R)), in which f is exact, and k ln2 is
// added in two parts as in vexp (k ln2_hi exact).
//
// Error over [DBL_MIN, DBL_MAX] and at the likelihood's typical arguments
// (tests/test_exp.cpp): 0.8 ulp of the exact log at most.
template <class V>
[[gnu::always_inline]] inline V vlog(V x) {
    using I = ints_of<V>;
    constexpr long long kSqrtHalfBits = 0x3fe6a09e667f3bcdLL;  // the bits of sqrt(1/2)
    constexpr long long kSignificand = 0x000fffffffffffffLL;
    using U = typename VectorTraits<V>::bits;
    // Subtracted as unsigned: the bits of a negative x would overflow a
    // signed subtraction (whose result is discarded: such x give NaN).
    const I t = reinterpret_cast<I>(reinterpret_cast<U>(x) - static_cast<unsigned long long>(kSqrtHalfBits));
    const I k = t >> 52;                                                  // the exponent, arithmetic shift
    const V m = reinterpret_cast<V>((t & kSignificand) + kSqrtHalfBits);  // 1 + f
    // k as a double: small integers added into the low bits of 1.5 * 2^52.
    const V shifter = splat<V>(0x1.8p52);
    const V kd = reinterpret_cast<V>(k + reinterpret_cast<I>(shifter)) - shifter;
    const V f = m - 1.0;
    const V s = f / (f + 2.0);
    const V z = s * s;
    V R = splat<V>(2.0 / 21.0);
    R = R * z + 2.0 / 19.0;
    R = R * z + 2.0 / 17.0;
    R = R * z + 2.0 / 15.0;
    R = R * z + 2.0 / 13.0;
    R = R * z + 2.0 / 11.0;
    R = R * z + 2.0 / 9.0;
    R = R * z + 2.0 / 7.0;
    R = R * z + 2.0 / 5.0;
    R = R * z + 2.0 / 3.0;
    R = R * z;
    const V hfsq = 0.5 * (f * f);
    const V y = kd * 0x1.62e42fefa3800p-1 - ((hfsq - (s * (hfsq + R) + kd * 0x1.ef35793c7673p-45)) - f);
    // y in [DBL_MIN, DBL_MAX], x itself above (+inf), NaN below and for NaN:
    // two selects on one comparison each, with different alternatives, so
    // that GCC does not fold them into one on the && of both (see splat).
    const V y_or_inf = x <= 0x1.fffffffffffffp1023 ? y : x;
    return x >= 0x1p-1022 ? y_or_inf : splat<V>(__builtin_nan(""));
}

}  // namespace gauss2

#pragma GCC diagnostic pop
