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

#include <type_traits>

// GCC declares the builtins of an instruction set once a target attribute
// or pragma first names it; FmaInstructions needs them before the vector
// paths' functions appear.
#if !defined(__clang__) && defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("fma,avx512f")
#pragma GCC pop_options
#endif

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
typedef double v2d __attribute__((vector_size(16)));  // the portable path's registers
typedef long long v2l __attribute__((vector_size(16)));

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
template <>
struct VectorTraits<v2d> {
    using ints = v2l;
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

// ---- fused multiply-adds ----------------------------------------------------

// The kernels fuse a multiply and an add into one rounding only where they
// say so, with the functions below, and nowhere else (the library is built
// with -ffp-contract=off): so every kernel path rounds alike, and a fit's
// bits do not depend on the processor that computes it. A path fuses by one
// of two policies, with the same results:
//   FmaInstructions  the processor's fused multiply-add instructions (the
//                    vector paths; x86-64-v3 and up have them);
//   FmaEmulated      an exact emulation in plain arithmetic (the portable
//                    path, for processors that may have no such
//                    instruction): emulated_fma() below.
// The instructions are GCC's builtins for them (GCC has no generic fused
// multiply-add on vectors, and its contraction could not be limited to
// these places), or a contraction of a * b + c that clang is allowed here
// only (the fuzz build).
//
// Chosen by measurement (bench/fit_workload on the bench workload's first
// 400 fits, least squares; callgrind instructions per fit, and fits/s best
// of 3 at a load of 3 to 6 on 2 shared cores):
//   - no fusion anywhere: the vector paths take 26 % more instructions
//     (AVX2 137 890 against 109 387) and their fits change: 914 of the 918
//     reference flags agree, below the 917 tests/test_golden.py asks;
//   - the portable path calling the C library's fma: 1 198 844 instructions
//     and 2 217 fits/s where the processor has the instruction, 41 fits/s
//     where glibc computes fma in software (GLIBC_TUNABLES=
//     glibc.cpu.hwcaps=-AVX2,-FMA: 179 ns a call), as it does on the
//     processors that take the portable path;
//   - the emulation (chosen): 6 454 729 instructions and 625 to 654 fits/s,
//     whatever the processor, against 367 525 and 8 800 to 9 100 for the
//     portable path before, when its results were other than the vector
//     paths'. The vector paths: 111 145 instructions (AVX2; the Poisson fit
//     37 417 against 38 161).
// A multiply-add costs the emulation 4 ns on four lanes, 12 ns alone,
// against 0.9 ns for the instruction (tests/test_exp.cpp's operands).
//
// Each takes vectors, or scalars that stand for themselves in every lane,
// and is always inlined (the instructions are only ever expanded within a
// vector path's function, built for its instruction set). The results agree
// to the bit but for NaN: which of several NaN operands a NaN result carries,
// and so its sign and payload, is the instruction's or the library's.
template <class A, class B, class C>
using FusedVector =
    std::conditional_t<!std::is_arithmetic_v<A>, A, std::conditional_t<!std::is_arithmetic_v<B>, B, C>>;

// x in every lane of V (splat, -0.0 as +0.0), or x itself if it is one.
template <class V, class X>
[[gnu::always_inline]] inline V lanes(X x) {
    if constexpr (std::is_arithmetic_v<X>)
        return splat<V>(x);
    else
        return x;
}

// a b + c rounded once (to nearest, ties to even) in each lane, in plain
// double arithmetic: Boldo and Melquiond's emulation (IEEE Trans. Computers
// 57, 462 (2008), algorithm 5). The product exactly as ph + pl (Dekker's
// split of each factor at 2^27 + 1), c + ph exactly as th + tl (Knuth's two
// sums), tl + pl rounded to odd (rounded to nearest, then, if inexact and
// even, one unit in the last place toward the exact sum), and th plus that,
// rounded to nearest. Exact wherever no step overflows or underflows: factors
// at most 2^995, |c| and |ph| at most 2^1000, ph and c zero or at least
// 2^-900; the lanes outside (and those with an operand not finite) take the
// C library's fma. tests/test_exp.cpp compares it with the processor's
// instruction.
template <class V>
[[gnu::always_inline]] inline V emulated_fma(V a, V b, V c);

namespace detail {

// The emulation in double arithmetic, on a double (X = double, with
// I = long long) or on a vector of two lanes; comparisons as masks of all
// ones.
template <class I, class Cond>
[[gnu::always_inline]] inline I mask(Cond c) {
    if constexpr (std::is_arithmetic_v<I>)
        return -static_cast<I>(c);
    else
        return reinterpret_cast<I>(c);
}

template <class X>
struct BitsOf {
    using type = ints_of<X>;
};
template <>
struct BitsOf<double> {
    using type = long long;
};

template <class X>
[[gnu::always_inline]] inline X fma_in_doubles(X a, X b, X c) {
    using I = typename BitsOf<X>::type;
    // The exact product a b = ph + pl.
    const X ph = a * b;
    const X split = X{} + 134217729.0;  // 2^27 + 1
    const X ta = a * split, ah = ta - (ta - a), al = a - ah;
    const X tb = b * split, bh = tb - (tb - b), bl = b - bh;
    const X pl = (((ah * bh - ph) + ah * bl) + al * bh) + al * bl;
    // The exact sum c + ph = th + tl.
    const X th = c + ph, zt = th - c;
    const X tl = (c - (th - zt)) + (ph - zt);
    // tl + pl to odd: s = tl + pl, exact as s + e; where s is even and e not
    // zero, one unit in the last place toward s + e (+1 in s's bits if e has
    // s's sign, -1 if not).
    const X s = tl + pl, zs = s - tl;
    const X e = (tl - (s - zs)) + (pl - zs);
    if constexpr (std::is_arithmetic_v<X>) {
        // The same, with branches where a double takes them better.
        long long sb = __builtin_bit_cast(long long, s);
        if (e != 0.0 && (sb & 1) == 0) sb += (s < 0.0) == (e < 0.0) ? 1 : -1;
        const double v = __builtin_bit_cast(double, sb);
        const double fa = __builtin_fabs(a), fb = __builtin_fabs(b), fc = __builtin_fabs(c),
                     fp = __builtin_fabs(ph);
        const bool exact = fa <= 0x1p995 && fb <= 0x1p995 && fc <= 0x1p1000 && fp <= 0x1p1000 &&
                           (fp >= 0x1p-900 || fa == 0.0 || fb == 0.0) && (fc >= 0x1p-900 || fc == 0.0);
        if (__builtin_expect(!exact, 0)) return __builtin_fma(a, b, c);
        return v == 0.0 ? th : th + v;  // an exact zero keeps the sign that c + ph gives it
    } else {
        const I sb = __builtin_bit_cast(I, s);
        const I even_inexact = ((sb & 1) ^ 1) & mask<I>(e != 0.0);  // 1 or 0
        const I differ = mask<I>(s < 0.0) ^ mask<I>(e < 0.0);       // all ones or none
        const X v = __builtin_bit_cast(X, sb + ((even_inexact ^ differ) - differ));
        // An exact zero keeps the sign that c + ph gives it.
        const I zero = mask<I>(v == 0.0);
        X r = __builtin_bit_cast(
            X, (__builtin_bit_cast(I, th) & zero) | (__builtin_bit_cast(I, th + v) & ~zero));

        // Lanes outside the range where every step above is exact, and lanes
        // with an operand not finite (whose results are NaN here): the C
        // library's fma.
        const I magnitude = I{} + 0x7fffffffffffffffLL;
        const X fa = __builtin_bit_cast(X, __builtin_bit_cast(I, a) & magnitude),
                fb = __builtin_bit_cast(X, __builtin_bit_cast(I, b) & magnitude);
        const X fc = __builtin_bit_cast(X, __builtin_bit_cast(I, c) & magnitude),
                fp = __builtin_bit_cast(X, __builtin_bit_cast(I, ph) & magnitude);
        const I outside = mask<I>(fa > 0x1p995) | mask<I>(fb > 0x1p995) | mask<I>(fc > 0x1p1000) |
                          mask<I>(fp > 0x1p1000) |
                          (mask<I>(fp < 0x1p-900) & mask<I>(fa != 0.0) & mask<I>(fb != 0.0)) |
                          (mask<I>(fc < 0x1p-900) & mask<I>(fc != 0.0)) | mask<I>(s != s) | mask<I>(th != th);
        if (__builtin_expect((outside[0] | outside[1]) != 0, 0)) {
            for (int l = 0; l < 2; l++)
                if (outside[l] != 0) r[l] = __builtin_fma(a[l], b[l], c[l]);
        }
        return r;
    }
}

}  // namespace detail

template <class V>
[[gnu::always_inline]] inline V emulated_fma(V a, V b, V c) {
    if constexpr (std::is_arithmetic_v<V> || lanes_of<V> == 2) {
        return detail::fma_in_doubles(a, b, c);
    } else {
        // In halves down to the two lanes of the baseline's registers: the
        // comparisons of wider vectors would be taken apart lane by lane.
        constexpr int h = lanes_of<V> / 2;
        using H = std::conditional_t<h == 2, v2d, v4d>;
        H a0, a1, b0, b1, c0, c1;
        __builtin_memcpy(&a0, &a, sizeof(H)),
            __builtin_memcpy(&a1, reinterpret_cast<char *>(&a) + sizeof(H), sizeof(H));
        __builtin_memcpy(&b0, &b, sizeof(H)),
            __builtin_memcpy(&b1, reinterpret_cast<char *>(&b) + sizeof(H), sizeof(H));
        __builtin_memcpy(&c0, &c, sizeof(H)),
            __builtin_memcpy(&c1, reinterpret_cast<char *>(&c) + sizeof(H), sizeof(H));
        const H lo = emulated_fma(a0, b0, c0), hi = emulated_fma(a1, b1, c1);
        V r;
        __builtin_memcpy(&r, &lo, sizeof(H)),
            __builtin_memcpy(reinterpret_cast<char *>(&r) + sizeof(H), &hi, sizeof(H));
        return r;
    }
}

struct FmaEmulated {
    // a b + c, rounded once.
    template <class A, class B, class C>
    [[gnu::always_inline]] static auto fmadd(A a, B b, C c) {
        if constexpr (std::is_arithmetic_v<A> && std::is_arithmetic_v<B> && std::is_arithmetic_v<C>) {
            return emulated_fma(static_cast<double>(a), static_cast<double>(b), static_cast<double>(c));
        } else {
            using V = FusedVector<A, B, C>;
            return emulated_fma(lanes<V>(a), lanes<V>(b), lanes<V>(c));
        }
    }
    // c - a b, rounded once.
    template <class A, class B, class C>
    [[gnu::always_inline]] static auto fnmadd(A a, B b, C c) {
        return fmadd(a, -b, c);
    }
};

struct FmaInstructions {
    template <class A, class B, class C>
    [[gnu::always_inline]] static auto fmadd(A a, B b, C c) {
        if constexpr (std::is_arithmetic_v<A> && std::is_arithmetic_v<B> && std::is_arithmetic_v<C>) {
            return __builtin_fma(a, b, c);
        } else {
            using V = FusedVector<A, B, C>;
            return vector_fmadd(lanes<V>(a), lanes<V>(b), lanes<V>(c));
        }
    }
    template <class A, class B, class C>
    [[gnu::always_inline]] static auto fnmadd(A a, B b, C c) {
        return fmadd(a, -b, c);
    }

   private:
    template <class V>
    [[gnu::always_inline]] static V vector_fmadd(V a, V b, V c) {
#if defined(__clang__)
        // Lane by lane: clang takes the vector builtins only in functions
        // built for their instruction set, which this template is not, and
        // a product contracted into a sum by a pragma is not always fused
        // (with one, clang 14's vector paths differed from the portable
        // path in the last bits). A lane's fma is always rounded once, a
        // fused instruction in the path's functions that it is inlined into.
        V r;
        for (int l = 0; l < lanes_of<V>; l++) r[l] = __builtin_fma(a[l], b[l], c[l]);
        return r;
#else
        if constexpr (lanes_of<V> == 4)
            return __builtin_ia32_vfmaddpd256(a, b, c);
        else
            return __builtin_ia32_vfmaddpd512_mask(a, b, c, static_cast<unsigned char>(0xff),
                                                   kCurrentRounding);
#endif
    }
    static constexpr int kCurrentRounding = 4;  // _MM_FROUND_CUR_DIRECTION
};

// ---- sums -------------------------------------------------------------------------

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
template <class Fma, class V>
[[gnu::always_inline]] inline V vexp(V x) {
    using I = ints_of<V>;
    x = x < kVexpLowest ? splat<V>(kVexpLowest) : x;
    x = x > kVexpHighest ? splat<V>(kVexpHighest) : x;
    const V shifter = splat<V>(0x1.8p52);  // adding it rounds to an integer held in the low bits
    const V kd = Fma::fmadd(x, 1.4426950408889634, shifter);
    const V k = kd - shifter;
    V r = Fma::fnmadd(k, 0x1.62e42fefa3800p-1, x);
    r = Fma::fnmadd(k, 0x1.ef35793c7673p-45, r);
    V p = splat<V>(0x1.ad4f46306d47ap-26);
    p = Fma::fmadd(p, r, 0x1.28b3011cb0f87p-22);
    p = Fma::fmadd(p, r, 0x1.71df5454d2ae1p-19);
    p = Fma::fmadd(p, r, 0x1.a01992e57e83cp-16);
    p = Fma::fmadd(p, r, 0x1.a01a0109028e6p-13);
    p = Fma::fmadd(p, r, 0x1.6c16c18778549p-10);
    p = Fma::fmadd(p, r, 0x1.111111113267ep-7);
    p = Fma::fmadd(p, r, 0x1.555555554f3a0p-5);
    p = Fma::fmadd(p, r, 0x1.5555555555499p-3);
    p = Fma::fmadd(p, r, 0x1.0000000000010p-1);
    p = Fma::fmadd(p, r, 1.0);
    p = Fma::fmadd(p, r, 1.0);
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
template <class Fma, class V>
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
    R = Fma::fmadd(R, z, 2.0 / 19.0);
    R = Fma::fmadd(R, z, 2.0 / 17.0);
    R = Fma::fmadd(R, z, 2.0 / 15.0);
    R = Fma::fmadd(R, z, 2.0 / 13.0);
    R = Fma::fmadd(R, z, 2.0 / 11.0);
    R = Fma::fmadd(R, z, 2.0 / 9.0);
    R = Fma::fmadd(R, z, 2.0 / 7.0);
    R = Fma::fmadd(R, z, 2.0 / 5.0);
    R = Fma::fmadd(R, z, 2.0 / 3.0);
    const V hfsq = 0.5 * (f * f);
    const V hfsq_R = Fma::fmadd(R, z, hfsq);  // hfsq + R z
    const V tail = (hfsq - Fma::fmadd(s, hfsq_R, kd * 0x1.ef35793c7673p-45)) - f;
    const V y = Fma::fmadd(kd, 0x1.62e42fefa3800p-1, -tail);
    // y in [DBL_MIN, DBL_MAX], x itself above (+inf), NaN below and for NaN:
    // two selects on one comparison each, with different alternatives, so
    // that GCC does not fold them into one on the && of both (see splat).
    const V y_or_inf = x <= 0x1.fffffffffffffp1023 ? y : x;
    return x >= 0x1p-1022 ? y_or_inf : splat<V>(__builtin_nan(""));
}

}  // namespace gauss2

#pragma GCC diagnostic pop
