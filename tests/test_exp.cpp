// The kernels' arithmetic (gauss2_simd.h): the inline exponential vexp, its
// error in ulps over the range it serves and at the fit's typical arguments,
// its clamp at -707, NaN and -inf; the inline log likewise; the sums of
// lanes; and the portable path's emulated fused multiply-add against the
// processor's instruction. vexp and vlog are measured as the kernels run
// them on every path this machine has (gauss2::exp_lanes, log_lanes) and as
// built here with the portable path's arithmetic: the same bits on all.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <vector>

#include "gauss2_kernel.h"
#include "gauss2_paths.h"
#include "gauss2_simd.h"
#include "same_bits.h"

// vexp takes and returns vectors by value; inlined, they never cross a call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// f (exp_lanes or log_lanes) over a whole array (its length a multiple of
// the lanes) on every kernel path this machine runs: the same values on each
// (gauss2_simd.h), which are returned.
std::vector<double> on_every_path(void (*f)(const double *, double *, long), const std::vector<double> &x) {
    const gauss2::KernelPath saved = gauss2::kernel_path();
    std::vector<double> first;
    for (gauss2::KernelPath path = 0; path <= gauss2::best_kernel_path(); path++) {
        gauss2::set_kernel_path(path);
        std::vector<double> y(x.size());
        f(x.data(), y.data(), static_cast<long>(x.size()));
        if (first.empty())
            first = y;
        else
            EXPECT_TRUE(same_values(y, first)) << gauss2::kernel_path_name(path);
    }
    gauss2::set_kernel_path(saved);
    return first;
}

std::vector<double> kernel_exp(const std::vector<double> &x) { return on_every_path(gauss2::exp_lanes, x); }

// An inline function of gauss2_simd.h, built here with the portable path's
// fused multiply-adds, over a whole array.
template <gauss2::v4d (*f)(gauss2::v4d)>
std::vector<double> inline_lanes(const std::vector<double> &x) {
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); i += gauss2::lanes_of<gauss2::v4d>) {
        gauss2::v4d v;
        std::memcpy(&v, &x[i], sizeof v);
        v = f(v);
        std::memcpy(&y[i], &v, sizeof v);
    }
    return y;
}

std::vector<double> inline_exp(const std::vector<double> &x) {
    return inline_lanes<gauss2::vexp<gauss2::FmaEmulated, gauss2::v4d>>(x);
}

// |got - exact| in units of the last place of the double nearest `exact`,
// a long double (64-bit significand: accurate to a few thousandths of a
// double ulp).
double ulps_of(double got, long double exact) {
    int e = 0;
    std::frexp(static_cast<double>(exact), &e);
    return static_cast<double>(std::fabs(got - exact) / std::ldexp(1.0L, e - 53));
}

double ulps_from_exact(double got, double x) { return ulps_of(got, std::exp(static_cast<long double>(x))); }

// Doubles between two positive finite values.
long ulps_between(double a, double b) {
    std::int64_t x = 0, y = 0;
    std::memcpy(&x, &a, sizeof a);
    std::memcpy(&y, &b, sizeof b);
    return x > y ? x - y : y - x;
}

struct Errors {
    double from_exact = 0.0;  // worst, in ulps of the exact exp
    long from_glibc = 0;      // worst distance to std::exp, in doubles
};

Errors errors(const std::vector<double> &x, const std::vector<double> &y) {
    Errors worst;
    for (size_t i = 0; i < x.size(); i++) {
        worst.from_exact = std::max(worst.from_exact, ulps_from_exact(y[i], x[i]));
        worst.from_glibc = std::max(worst.from_glibc, ulps_between(y[i], std::exp(x[i])));
    }
    return worst;
}

std::vector<double> grid(double lo, double hi, long n) {
    std::vector<double> x(static_cast<size_t>(n));
    for (long i = 0; i < n; i++)
        x[static_cast<size_t>(i)] = lo + (hi - lo) * (static_cast<double>(i) + 0.5) / n;
    return x;
}

// The points where the reduction changes k, (k + 1/2) ln2 for every k down
// to the clamp, with their neighbours: |r| is largest there.
std::vector<double> reduction_edges() {
    std::vector<double> x;
    for (int k = -1020; k <= -1; k++) {
        const double edge = (k + 0.5) * 0.6931471805599453;
        x.push_back(std::nextafter(edge, -kInf));
        x.push_back(edge);
        x.push_back(std::nextafter(edge, kInf));
    }
    while (x.size() % gauss2::lanes_of<gauss2::v4d> != 0) x.push_back(0.0);
    return x;
}

void expect_within(const char *what, const std::vector<double> &x, double bound_exact) {
    const std::vector<double> y = kernel_exp(x);
    EXPECT_TRUE(same_values(y, inline_exp(x))) << what;
    const Errors e = errors(x, y);
    std::cout << what << ": " << e.from_exact << " ulp of exp, " << e.from_glibc << " ulp from glibc\n";
    EXPECT_LE(e.from_exact, bound_exact) << what;
    EXPECT_LE(e.from_glibc, 1) << what;
}

}  // namespace

// Measured: 1.02 ulp; glibc's exp itself is within 0.51 ulp. A wrong
// coefficient or reduction costs many ulps.
constexpr double kWorstUlps = 1.5;

TEST(FastExp, WithinOneUlpOfGlibcDownToTheClamp) {
    expect_within("[-707, 0], 2^21 points", grid(-707.0, 0.0, 1L << 21), kWorstUlps);
    expect_within("reduction edges", reduction_edges(), kWorstUlps);
}

// The fit's exponents: 0 at the spot's centre down to a few tens at a
// patch's corners for the usual widths.
TEST(FastExp, WithinOneUlpOfGlibcAtTheFitsArguments) {
    expect_within("[-40, 0], 2^20 points", grid(-40.0, 0.0, 1L << 20), kWorstUlps);
    const std::vector<double> zero = {0.0, -0.0, 0.0, -0.0};
    for (double y : kernel_exp(zero)) EXPECT_EQ(y, 1.0);
    for (double y : inline_exp(zero)) EXPECT_EQ(y, 1.0);
}

// Below -707, where exp's result would leave the normal numbers (subnormal
// down to -745, then 0), vexp returns its value at -707: 9.0e-308, within
// an ulp of exp(-707), never 0. -inf as well.
TEST(FastExp, ClampsAtMinus707) {
    std::vector<double> x = grid(-745.0, -707.0, 1L << 12);
    for (double v : {-707.0, std::nextafter(-707.0, -kInf), -745.0, -745.2, -800.0, -1e300, -kInf, -kInf})
        x.push_back(v);
    for (bool kernel : {true, false}) {
        const std::vector<double> y = kernel ? kernel_exp(x) : inline_exp(x);
        const double floor = y[y.size() - 8];  // at -707
        EXPECT_LE(ulps_from_exact(floor, -707.0), kWorstUlps);
        EXPECT_GT(floor, 8.9e-308);
        for (size_t i = 0; i < x.size(); i++) ASSERT_EQ(y[i], floor) << x[i] << (kernel ? " (kernel)" : "");
    }
}

// NaN stays NaN in its own lane and leaves the other lanes alone.
TEST(FastExp, NaNStaysNaNInItsLane) {
    const std::vector<double> x = {kNaN, -1.5, -kNaN, -3.0, -2.0, kNaN, 0.0, -kInf};
    for (bool kernel : {true, false}) {
        const std::vector<double> y = kernel ? kernel_exp(x) : inline_exp(x);
        EXPECT_TRUE(std::isnan(y[0]));
        EXPECT_TRUE(std::isnan(y[2]));
        EXPECT_TRUE(std::isnan(y[5]));
        for (int i : {1, 3, 4}) EXPECT_LE(ulps_from_exact(y[i], x[i]), kWorstUlps) << i;
        EXPECT_EQ(y[6], 1.0);
        EXPECT_GT(y[7], 0.0);  // -inf is clamped like any argument below -707
    }
}

// ---- the inline log, vlog ----------------------------------------------------------

namespace {

std::vector<double> lanes_log(const std::vector<double> &x, bool kernel) {
    if (!kernel) return inline_lanes<gauss2::vlog<gauss2::FmaEmulated, gauss2::v4d>>(x);
    return on_every_path(gauss2::log_lanes, x);
}

// |got - log(x)| in ulps of log(x), from a long-double log.
double log_ulps(double got, double x) { return ulps_of(got, std::log(static_cast<long double>(x))); }

// Points spread evenly in log x over [lo, hi].
std::vector<double> log_grid(double lo, double hi, long n) {
    std::vector<double> x;
    const double a = std::log(lo), b = std::log(hi);
    for (long i = 0; i < n; i++)
        x.push_back(std::min(hi, std::exp(a + (b - a) * (static_cast<double>(i) + 0.5) / n)));
    return x;
}

void expect_log_within(const char *what, const std::vector<double> &x, double bound) {
    const std::vector<double> y = lanes_log(x, true);
    EXPECT_TRUE(same_values(y, lanes_log(x, false))) << what;
    double worst = 0.0;
    for (size_t i = 0; i < x.size(); i++) {
        const double u = log_ulps(y[i], x[i]);
        worst = std::isnan(u) ? INFINITY : std::max(worst, u);
    }
    std::cout << what << ": " << worst << " ulp of log\n";
    EXPECT_LE(worst, bound) << what;
}

}  // namespace

// The likelihood's arguments are photo-electron means, from a fraction of
// one up to millions; near 1, where log x is small, its ulps are the
// finest. A wrong coefficient or reduction costs many ulps.
TEST(FastLog, WithinOneUlpOverTheNormalNumbers) {
    expect_log_within("[DBL_MIN, DBL_MAX], 2^20 points",
                      log_grid(0x1p-1022, 0x1.fffffffffffffp1023, 1L << 20), 1.0);
    expect_log_within("[0.01, 1e7], 2^20 points", log_grid(0.01, 1e7, 1L << 20), 1.0);
    std::vector<double> near_one;
    for (int k = -2000; k < 2000; k++) near_one.push_back(1.0 + k * 1e-6);
    for (double v : {0.7071067811865476, 0.7071067811865475, 1.4142135623730951, 1.414213562373095})
        near_one.push_back(v);
    expect_log_within("near 1 and sqrt(2)^+-1", near_one, 1.0);
    const std::vector<double> exact = {1.0, 2.0, 0.5, 1024.0};
    const std::vector<double> y = lanes_log(exact, true);
    EXPECT_EQ(y[0], 0.0);
    EXPECT_EQ(y[1], std::log(2.0));
}

// Outside the normal numbers: NaN for NaN, zero, negative and subnormal
// arguments, +inf for +inf; each lane on its own.
TEST(FastLog, SpecialArgumentsInTheirLanes) {
    const std::vector<double> x = {kNaN, 0.0, -1.0, 0x1p-1030, kInf, 3.0, -kInf, 1e-300};
    for (bool kernel : {true, false}) {
        const std::vector<double> y = lanes_log(x, kernel);
        for (int i : {0, 1, 2, 3, 6}) EXPECT_TRUE(std::isnan(y[static_cast<size_t>(i)])) << i;
        EXPECT_EQ(y[4], kInf);
        EXPECT_LE(log_ulps(y[5], 3.0), 1.0);
        EXPECT_LE(log_ulps(y[7], 1e-300), 1.0);
    }
}

// hsum4 forms the four sums of hsum at once: the same bits, signed zeros,
// infinities and NaN included, in every lane.
TEST(Reductions, FourSumsAtOnceAreHsumsBitForBit) {
    std::mt19937_64 rng(5);
    const double specials[] = {
        0.0, -0.0, 1e308, -1e308, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e-320, 3.0, -3.0};
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-60, 60), pick(0, 9), special(0, 4);
    auto value = [&] {
        return special(rng) == 0 ? specials[pick(rng)] : std::ldexp(mantissa(rng), exponent(rng));
    };
    for (int trial = 0; trial < 20000; trial++) {
        gauss2::v4d v[4];
        for (auto &x : v)
            for (int l = 0; l < 4; l++) x[l] = value();
        const gauss2::v4d sums = gauss2::hsum4(v[0], v[1], v[2], v[3]);
        for (int l = 0; l < 4; l++) {
            const double one = gauss2::hsum(v[l]), four = sums[l];
            EXPECT_TRUE(same_bits(one, four) || (std::isnan(one) && std::isnan(four)))
                << trial << " " << l << ": " << one << " " << four;
        }
    }
}

// ---- the portable path's fused multiply-add ----------------------------------------

namespace {

[[gnu::noinline, gnu::target("fma")]] void instruction_fma(const double *a, const double *b, const double *c,
                                                           double *r, long n) {
    for (long i = 0; i < n; i++) r[i] = __builtin_fma(a[i], b[i], c[i]);
}

void emulated_fma(const double *a, const double *b, const double *c, double *r, double *r_lanes, long n) {
    for (long i = 0; i < n; i++) r[i] = gauss2::emulated_fma(a[i], b[i], c[i]);
    for (long i = 0; i + 4 <= n; i += 4) {
        gauss2::v4d x, y, z;
        std::memcpy(&x, a + i, sizeof x), std::memcpy(&y, b + i, sizeof y), std::memcpy(&z, c + i, sizeof z);
        const gauss2::v4d w = gauss2::emulated_fma(x, y, z);
        std::memcpy(r_lanes + i, &w, sizeof w);
    }
}

}  // namespace

// The emulation, on doubles and on four-lane vectors, against the processor's
// instruction: the same bits (NaN where it gives NaN), on operands of every
// magnitude, on products that cancel c to the last bit or to zero (with each
// sign of zero), on sums a hair from halfway between two doubles, and on any
// bit pattern (then mostly the lanes out of the emulation's range, which
// take the C library's fma).
TEST(FusedMultiplyAdd, EmulationGivesTheInstructionsBits) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "no fused multiply-add instruction here";
    std::mt19937_64 rng(23);
    auto any = [&](int lo, int hi) {
        const double m = std::uniform_real_distribution<double>(1.0, 2.0)(rng);
        return (rng() & 1 ? -1.0 : 1.0) * std::ldexp(m, std::uniform_int_distribution<int>(lo, hi)(rng));
    };
    constexpr long kN = 1L << 18;
    std::vector<double> a(kN), b(kN), c(kN), want(kN), got(kN), got_lanes(kN);
    for (int kind = 0; kind < 6; kind++) {
        for (long i = 0; i < kN; i++) {
            a[i] = any(-30, 30), b[i] = any(-30, 30);
            switch (kind) {
                case 0:  // magnitudes of every kind
                    a[i] = any(-1000, 1000), b[i] = any(-1000, 1000), c[i] = any(-1074, 1023);
                    break;
                case 1:  // cancellation to the last bits
                    c[i] = -(a[i] * b[i]) * (1.0 + std::ldexp(static_cast<double>(rng() % 64) - 32.0, -52));
                    break;
                case 2: {  // a hair from halfway: the product's rounding error, scaled
                    const double p = a[i] * b[i];
                    c[i] = std::ldexp(std::nextafter(p, 0.0) - p, static_cast<int>(rng() % 3) - 1);
                    break;
                }
                case 3:  // zeros of each sign
                    c[i] = rng() % 2 ? 0.0 : -0.0;
                    if (rng() % 2) a[i] = rng() % 2 ? 0.0 : -0.0;
                    if (rng() % 4 == 0) c[i] = -(a[i] * b[i]);
                    break;
                case 4:  // small integers: exact results
                    a[i] = static_cast<double>(rng() % 2048) - 1024.0;
                    b[i] = std::ldexp(static_cast<double>(rng() % 4096), -12);
                    c[i] = std::ldexp(static_cast<double>(rng() % 65536) - 32768.0, -20);
                    break;
                default: {  // any bits
                    const std::uint64_t x = rng(), y = rng(), z = rng();
                    std::memcpy(&a[i], &x, 8), std::memcpy(&b[i], &y, 8), std::memcpy(&c[i], &z, 8);
                }
            }
        }
        instruction_fma(a.data(), b.data(), c.data(), want.data(), kN);
        emulated_fma(a.data(), b.data(), c.data(), got.data(), got_lanes.data(), kN);
        for (long i = 0; i < kN; i++) {
            ASSERT_TRUE(same_values(got[i], want[i]))
                << kind << ": fma(" << a[i] << ", " << b[i] << ", " << c[i] << ")";
            ASSERT_TRUE(same_values(got_lanes[i], want[i])) << kind << ": lanes, at " << i;
        }
    }
}
