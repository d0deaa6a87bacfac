// Rendering peaks into images: patch placement, margins, skip rules and
// accumulation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fit_harness.h"
#include "gauss2_fitter.h"
#include "gauss_reference.h"

namespace {

Params spot(double pos_x, double pos_y) { return {100.0, 1.0, 1.0, pos_x, pos_y, 0.0, 0.0}; }

// Columns and rows holding a non-zero value; {-1, -1, -1, -1} if none.
struct Box {
    Sint64 x0 = -1, x1 = -1, y0 = -1, y1 = -1;
    int count = 0;
    bool operator==(const Box &o) const {
        return x0 == o.x0 && x1 == o.x1 && y0 == o.y0 && y1 == o.y1 && count == o.count;
    }
};

Box nonzero_box(const Image &im) {
    Box b;
    for (Sint64 y = 0; y < im.h; y++)
        for (Sint64 x = 0; x < im.w; x++) {
            if (im.at(x, y) == 0.0) continue;
            if (b.count++ == 0) b = {x, x, y, y, 1};
            b.x0 = std::min(b.x0, x), b.x1 = std::max(b.x1, x);
            b.y0 = std::min(b.y0, y), b.y1 = std::max(b.y1, y);
        }
    return b;
}

bool unchanged(const Image &im, double fill) {
    for (double v : im.px)
        if (!same_bits(v, fill)) return false;
    return true;
}

}  // namespace

TEST(Synth, FootprintIsTheFloorPlacedPatchWithTheModelAtPixelCentres) {
    Image im(20, 20);
    const Params p{100.0, 1.0, 1.0, 10.3, 10.7, 0.0, 0.0};
    EXPECT_EQ(render(im, 5, {p}), 0);
    EXPECT_EQ(nonzero_box(im), (Box{8, 12, 8, 12, 25}));

    // The same values as the model rendered in the patch frame...
    Params local = p;
    local[3] = 10.3 - 8.0;
    local[4] = 10.7 - 8.0;
    double patch[25];
    gauss_2d(local.data(), patch, 7, 25, nullptr);
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 5; c++) EXPECT_EQ(im.at(8 + c, 8 + r), patch[r * 5 + c]) << r << "," << c;
    // ...and the density at each image pixel's centre, independently.
    for (Sint64 y = 8; y <= 12; y++)
        for (Sint64 x = 8; x <= 12; x++) {
            const double want =
                static_cast<double>(ref_pixel(p, static_cast<int>(y), static_cast<int>(x)).value);
            EXPECT_NEAR(im.at(x, y), want, 1e-13 * want);
        }
}

TEST(Synth, EvenMeaCentresThePatchCornerNearThePeak) {
    Image im(20, 20);
    EXPECT_EQ(render(im, 4, {spot(10.3, 10.7)}), 0);
    // c0 = floor(10.3 - 2 + 0.5) = 8, r0 = floor(10.7 - 2 + 0.5) = 9.
    EXPECT_EQ(nonzero_box(im), (Box{8, 11, 9, 12, 16}));
}

TEST(Synth, RightAndBottomMarginsAreStrict) {
    // A non-square image, so that a swap of width and height shows.
    const Sint64 w = 20, h = 30;
    {
        Image im(w, h);
        EXPECT_EQ(render(im, 5, {spot(16.9, 10.0)}), 0);
        EXPECT_EQ(nonzero_box(im), (Box{14, 18, 8, 12, 25}));
    }
    {
        Image im(w, h);
        EXPECT_EQ(render(im, 5, {spot(17.0, 10.0)}), 0);  // c0 = 15, c0 + 5 == im_w: skipped
        EXPECT_TRUE(unchanged(im, 0.0));
    }
    {
        Image im(w, h);
        EXPECT_EQ(render(im, 5, {spot(10.0, 26.9)}), 0);
        EXPECT_EQ(nonzero_box(im), (Box{8, 12, 24, 28, 25}));
    }
    {
        Image im(w, h);
        EXPECT_EQ(render(im, 5, {spot(10.0, 27.0)}), 0);
        EXPECT_TRUE(unchanged(im, 0.0));
    }
    {
        // Columns 17..19 exist and a width check against im_h would pass.
        Image im(w, h);
        EXPECT_EQ(render(im, 5, {spot(19.5, 10.0)}), 0);
        EXPECT_TRUE(unchanged(im, 0.0));
    }
}

TEST(Synth, LeftAndTopEdgesUseFloorNotTruncation) {
    Image im(20, 20);
    EXPECT_EQ(render(im, 5, {spot(2.0, 10.0)}), 0);
    EXPECT_EQ(nonzero_box(im), (Box{0, 4, 8, 12, 25}));

    // floor(1.99 - 2.5 + 0.5) = -1; truncation would give 0 and render.
    for (const Params &p : {spot(1.99, 10.0), spot(10.0, 1.99)}) {
        Image skipped(20, 20);
        EXPECT_EQ(render(skipped, 5, {p}), 0);
        EXPECT_TRUE(unchanged(skipped, 0.0)) << p[3] << "," << p[4];
    }
    Image top(20, 20);
    EXPECT_EQ(render(top, 5, {spot(10.0, 2.0)}), 0);
    EXPECT_EQ(nonzero_box(top), (Box{8, 12, 0, 4, 25}));
}

TEST(Synth, PositionsOutsideTheImageOrNotFiniteAreSkipped) {
    // Also beyond the integers: 2^32 + 10.5 would land on column 10 if a
    // conversion wrapped to 32 bits, 2^63 and 2^64 overflow a 64-bit one.
    const double bad[] = {20.0,
                          25.0,
                          -0.5,
                          -1e-300,
                          -kInf,
                          kInf,
                          kNaN,
                          -kNaN,
                          1e300,
                          -1e300,
                          4294967296.0 + 10.5,
                          4294967296.0,
                          9.2e18,
                          9223372036854775808.0,
                          -9223372036854775808.0,
                          18446744073709551616.0};
    for (double v : bad) {
        for (const Params &p : {spot(v, 10.0), spot(10.0, v)}) {
            Image im(20, 20, 7.0);
            EXPECT_EQ(render(im, 5, {p}), 0);
            EXPECT_TRUE(unchanged(im, 7.0)) << p[3] << "," << p[4];
        }
    }
}

TEST(Synth, ExtremeImageSizesNeverWrap) {
    // Only skipped peaks: no pixel is touched, so a small buffer stands for
    // images of any claimed size. A wrapped sum or product would let a peak
    // through and write far outside it.
    const Sint64 big = std::numeric_limits<Sint64>::max(), small = std::numeric_limits<Sint64>::min();
    double buf[4] = {1, 2, 3, 4};
    const Params peaks[] = {spot(9.2e18, 0.5), spot(1e300, 1e300), spot(0.5, 9.2e18), spot(3.0, 3.0)};
    const Sint64 sizes[][2] = {{big, 1}, {1, big}, {small, big}, {big, small}, {-5, 40}, {40, -5}, {0, 0}};
    for (const auto &sz : sizes)
        for (const Params &p : peaks) {
            EXPECT_EQ(synth_image(buf, sz[0], sz[1], GAUSS2_MAX_MEA, 1, p.data()), 0);
            EXPECT_EQ(synth_image(buf, sz[0], sz[1], 1, 1, p.data()), 0);
        }
    EXPECT_EQ(buf[0], 1.0);
    EXPECT_EQ(buf[3], 4.0);
    // Claimed sizes with no pixels at all: a null image, never read.
    const Sint64 empty[][2] = {{0, 0},         {0, 30},  {30, 0},  {-1, 30},  {30, -1},       {-30, -30},
                               {small, small}, {big, 0}, {0, big}, {big, -1}, {-k2p32, k2p32}};
    const Params corner{100, 1, 1, 0.5, 0.5, 0, 0};
    for (const auto &sz : empty) {
        EXPECT_EQ(synth_image(nullptr, sz[0], sz[1], 1, 1, corner.data()), 0);
        EXPECT_EQ(synth_image(nullptr, sz[0], sz[1], GAUSS2_MAX_MEA, 1, corner.data()), 0);
    }
}

TEST(Synth, AccumulatesIntoTheImageAndOverlapsSum) {
    Image once(20, 20), twice(20, 20);
    const Params p{250.0, 1.3, 0.9, 9.4, 8.2, 0.3, 0.5};
    EXPECT_EQ(render(once, 7, {p}), 0);
    EXPECT_EQ(render(twice, 7, {p, p}), 0);
    for (size_t i = 0; i < once.px.size(); i++) EXPECT_EQ(twice.px[i], 2.0 * once.px[i]);

    // Rendering onto an existing image adds, never clears.
    Image onto(20, 20, 10.0);
    EXPECT_EQ(render(onto, 7, {p}), 0);
    for (size_t i = 0; i < once.px.size(); i++) EXPECT_EQ(onto.px[i], 10.0 + once.px[i]);
}

TEST(Synth, OffsetIsRenderedOverThePatchOnly) {
    Image im(20, 20);
    EXPECT_EQ(render(im, 5, {{0.0, 1.0, 1.0, 10.5, 6.5, 0.0, 3.0}}), 0);
    EXPECT_EQ(nonzero_box(im), (Box{8, 12, 4, 8, 25}));
    for (Sint64 y = 4; y <= 8; y++)
        for (Sint64 x = 8; x <= 12; x++) EXPECT_EQ(im.at(x, y), 3.0);
}

TEST(Synth, NothingToRender) {
    const Params p = spot(10.0, 10.0);
    for (Sint64 mea : {Sint64{0}, Sint64{-1}, Sint64{-4}, Sint64{-64}, std::numeric_limits<Sint64>::min()}) {
        Image im(20, 20, 1.5);
        EXPECT_EQ(synth_image(im.px.data(), im.w, im.h, mea, 1, p.data()), 0);
        EXPECT_TRUE(unchanged(im, 1.5)) << mea;
    }
    Image none(20, 20, 1.5);
    EXPECT_EQ(synth_image(none.px.data(), none.w, none.h, 5, 0, nullptr), 0);
    EXPECT_TRUE(unchanged(none, 1.5));
}

TEST(Synth, ImageNeedsOneColumnAndRowMoreThanThePatch) {
    const Params centred = spot(2.5, 2.5);
    for (const auto &wh : {std::pair<Sint64, Sint64>{5, 5}, {5, 6}, {6, 5}, {3, 3}}) {
        Image im(wh.first, wh.second);
        EXPECT_EQ(render(im, 5, {centred, spot(2.0, 2.0), spot(3.0, 3.0)}), 0);
        EXPECT_TRUE(unchanged(im, 0.0)) << wh.first << "x" << wh.second;
    }
    Image fits(6, 6);
    EXPECT_EQ(render(fits, 5, {centred}), 0);
    EXPECT_EQ(nonzero_box(fits), (Box{0, 4, 0, 4, 25}));
}

TEST(Synth, CallersParametersAreLeftAsTheyWere) {
    std::vector<double> params;
    for (const Params &p :
         {spot(10.3, 10.7), spot(17.0, 3.0), spot(kNaN, 1.0), Params{5, 1, 1, 6.2, 12.9, 0.5, 2}})
        params.insert(params.end(), p.begin(), p.end());
    const std::vector<double> before = params;
    Image im(20, 20);
    ASSERT_EQ(synth_image(im.px.data(), im.w, im.h, 5, 4, params.data()), 0);
    EXPECT_TRUE(same_bits(params, before));
}

TEST(Synth, MatchesTheDensityOverRandomPeaks) {
    // Many peaks, odd and even patches, on a non-square image: every pixel is
    // the sum of the densities of the peaks whose floor-placed patch covers it.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    const Sint64 w = 90, h = 71;
    for (Sint64 mea : {1, 4, 7, 11, 63}) {
        std::vector<Params> peaks;
        for (int k = 0; k < 40; k++) {
            Params p = random_params(rng, 1);
            p[3] = -2.0 + (w + 4.0) * U(rng);
            p[4] = -2.0 + (h + 4.0) * U(rng);
            peaks.push_back(p);
        }
        Image im(w, h);
        EXPECT_EQ(render(im, mea, peaks), 0);

        std::vector<long double> want(im.px.size(), 0.0L);
        for (const Params &p : peaks) {
            if (!(p[3] >= 0 && p[3] < w && p[4] >= 0 && p[4] < h)) continue;
            const auto c0 = static_cast<Sint64>(std::floor(p[3] - mea * 0.5 + 0.5));
            const auto r0 = static_cast<Sint64>(std::floor(p[4] - mea * 0.5 + 0.5));
            if (c0 < 0 || r0 < 0 || c0 + mea >= w || r0 + mea >= h) continue;
            for (Sint64 y = r0; y < r0 + mea; y++)
                for (Sint64 x = c0; x < c0 + mea; x++)
                    want[static_cast<size_t>(y * w + x)] +=
                        ref_pixel(p, static_cast<int>(y), static_cast<int>(x)).value;
        }
        double worst = 0.0;
        for (size_t i = 0; i < want.size(); i++) {
            const long double scale = 1.0L + std::fabs(want[i]);
            worst = std::max(worst, static_cast<double>(std::fabs(im.px[i] - want[i]) / scale));
        }
        EXPECT_LT(worst, 1e-12) << "mea " << mea;
    }
}

TEST(Synth, LargestMeaRendersAndALargerOneIsRefused) {
    Image im(GAUSS2_MAX_MEA + 1, GAUSS2_MAX_MEA + 1);
    const double c = GAUSS2_MAX_MEA / 2.0;
    EXPECT_EQ(render(im, GAUSS2_MAX_MEA, {{0.0, 1.0, 1.0, c, c, 0.0, 1.0}}), 0);
    EXPECT_EQ(nonzero_box(im),
              (Box{0, GAUSS2_MAX_MEA - 1, 0, GAUSS2_MAX_MEA - 1, GAUSS2_MAX_MEA * GAUSS2_MAX_MEA}));

    // Refused before any peak is looked at.
    EXPECT_EXIT(synth_image(im.px.data(), im.w, im.h, 64, 0, nullptr), testing::ExitedWithCode(1),
                "^Mea too large: 64 \\(at most 63\\)\n$");
    EXPECT_EXIT(synth_image(im.px.data(), im.w, im.h, k2p32 + 1, 0, nullptr), testing::ExitedWithCode(1),
                "^Mea too large: 4294967297 \\(at most 63\\)\n$");
    EXPECT_EXIT(synth_image(im.px.data(), im.w, im.h, std::numeric_limits<Sint64>::max(), 1, nullptr),
                testing::ExitedWithCode(1), "^Mea too large: 9223372036854775807 \\(at most 63\\)\n$");
}

TEST(Synth, NonFiniteValuesStayInTheirPatch) {
    for (double amp : {kNaN, kInf, -kInf}) {
        Image im(20, 20);
        EXPECT_EQ(render(im, 5, {{amp, 1, 1, 10.3, 10.7, 0, 0}}), 0);
        EXPECT_EQ(nonzero_box(im), (Box{8, 12, 8, 12, 25})) << amp;  // NaN is not 0 either
        for (Sint64 y = 8; y <= 12; y++)
            for (Sint64 x = 8; x <= 12; x++) EXPECT_FALSE(std::isfinite(im.at(x, y))) << amp;
        EXPECT_EQ(validate_im(im.px.data(), 20, 20), std::isnan(amp) ? 0 : 1);
    }
    for (double sigma : {0.0, kNaN}) {  // a zero or NaN width renders NaN
        Image im(20, 20);
        EXPECT_EQ(render(im, 5, {{100, sigma, 1, 10.3, 10.7, 0, 0}}), 0);
        EXPECT_EQ(validate_im(im.px.data(), 20, 20), 0);
    }
}
