// What the fit tests need again and again, written once: images of spots,
// a patch fit and a batch whose outputs start as sentinels (so that what a
// call wrote shows), rendering, and comparisons bit for bit. Framework-free,
// so that the fuzz targets use it as the tests do.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss_reference.h"
#include "same_bits.h"

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Sint64 kMaxIndex = std::numeric_limits<Sint64>::max();
constexpr Sint64 kMinIndex = std::numeric_limits<Sint64>::min();
constexpr Sint64 k2p32 = Sint64{1} << 32;

// What every output holds before a call: a value no call writes.
constexpr double kSentinel = -3.0;

// An image of exactly w x h values (none when a size is not positive), so
// that a sanitizer build catches any read beyond them.
struct Image {
    Sint64 w, h;
    std::vector<double> px;

    Image(Sint64 w_, Sint64 h_, double fill = 0.0)
        : w(w_), h(h_), px(w_ > 0 && h_ > 0 ? static_cast<std::size_t>(w_ * h_) : 0, fill) {}

    double &at(Sint64 x, Sint64 y) { return px[static_cast<std::size_t>(y * w + x)]; }
    double at(Sint64 x, Sint64 y) const { return px[static_cast<std::size_t>(y * w + x)]; }
    // The library's image arguments are not const; it only reads them.
    double *data() const { return const_cast<double *>(px.data()); }

    // Adds a Gaussian given in image coordinates (its offset ignored),
    // sampled at pixel centres by the independent closed form, on the pixels
    // within nine widths of its centre: beyond, it adds nothing to a double.
    // Everywhere when its widths or centre are not finite.
    Image &add_spot(const Params &p) {
        Sint64 x0 = 0, x1 = w, y0 = 0, y1 = h;
        const double reach = 9.0 * std::max(std::fabs(p[1]), std::fabs(p[2])) + 1.0;
        if (reach < 1e6 && std::fabs(p[3]) < 1e15 && std::fabs(p[4]) < 1e15) {
            x0 = std::max<Sint64>(0, static_cast<Sint64>(std::floor(p[3] - reach)));
            x1 = std::min<Sint64>(w, static_cast<Sint64>(std::ceil(p[3] + reach)));
            y0 = std::max<Sint64>(0, static_cast<Sint64>(std::floor(p[4] - reach)));
            y1 = std::min<Sint64>(h, static_cast<Sint64>(std::ceil(p[4] + reach)));
        }
        for (Sint64 y = y0; y < y1; y++)
            for (Sint64 x = x0; x < x1; x++) {
                Params q = p;
                q[3] -= static_cast<double>(x);
                q[4] -= static_cast<double>(y);
                q[6] = 0.0;
                at(x, y) += static_cast<double>(ref_pixel(q, 0, 0).value);
            }
        return *this;
    }

    // Each pixel replaced by a Poisson count of its value as the mean, plus
    // Gaussian read noise of sigma `read_sigma` (none when 0).
    Image &add_photon_noise(std::mt19937_64 &rng, double read_sigma) {
        std::normal_distribution<double> read(0.0, read_sigma > 0.0 ? read_sigma : 1.0);
        for (double &v : px) {
            std::poisson_distribution<long> count(v);
            v = static_cast<double>(count(rng)) + (read_sigma > 0.0 ? read(rng) : 0.0);
        }
        return *this;
    }
};

// A spot of volume 2000 and widths 1.5 and 1.2 at (x0, y0) on a background
// of 100.
inline Image spot_image(Sint64 w, Sint64 h, double x0, double y0) {
    return Image(w, h, 100.0).add_spot({2000.0, 1.5, 1.2, x0, y0, 0.0, 0.0});
}

// One patch fit, on an image or on the caller's patch, with the usual start
// for an 11 x 11 window and every other output preset to the sentinel.
struct PatchFit {
    double params[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0};
    double info[10], covar[49], noise = kSentinel;
    int result = 99;

    PatchFit() {
        for (double &v : info) v = kSentinel;
        for (double &v : covar) v = kSentinel;
    }

    PatchFit &on(const double *im, Sint64 w, Sint64 h, Sint64 cx, Sint64 cy, Sint64 mea = 11) {
        result = fit_gauss_2d_on_float_image(const_cast<double *>(im), w, h, cx, cy, mea, params, info, covar,
                                             &noise);
        return *this;
    }
    PatchFit &on(const Image &im, Sint64 cx, Sint64 cy, Sint64 mea = 11) {
        return on(im.px.data(), im.w, im.h, cx, cy, mea);
    }
    // fit_gauss_2d on mea x mea pixels (it writes no noise).
    PatchFit &pixels(const double *px, Sint64 mea) {
        result = fit_gauss_2d(const_cast<double *>(px), mea, params, info, covar);
        return *this;
    }

    bool same_as(const PatchFit &o) const {
        return result == o.result && same_bits(params, o.params, 7) && same_bits(info, o.info, 10) &&
               same_bits(covar, o.covar, 49) && same_bits(noise, o.noise);
    }
    // Nothing written: every output as it was made.
    bool untouched() const {
        PatchFit fresh;
        fresh.result = result;
        return same_as(fresh);
    }
};

// A batch over exact-size peak arrays, every output preset: records start
// as {0, 1.5, 1.5, pos, pos, 0, 0, 0.125, sentinel, 0.25}, errors as the
// sentinel, flags as -5.
struct Batch {
    std::vector<Sint64> cx, cy, flags;
    std::vector<double> params, std_params;

    explicit Batch(const std::vector<std::pair<Sint64, Sint64>> &peaks, double pos = 5.5) {
        for (auto [x, y] : peaks) {
            cx.push_back(x);
            cy.push_back(y);
            const double rec[10] = {0.0, 1.5, 1.5, pos, pos, 0.0, 0.0, 0.125, kSentinel, 0.25};
            params.insert(params.end(), rec, rec + 10);
        }
        std_params.assign(params.size(), kSentinel);
        flags.assign(cx.size(), -5);
    }
    // Given peaks and starting records (10 a peak).
    static Batch with_starts(std::vector<Sint64> x, std::vector<Sint64> y, std::vector<double> start) {
        Batch b({});
        b.cx = std::move(x);
        b.cy = std::move(y);
        b.flags.assign(b.cx.size(), -5);
        b.params = std::move(start);
        b.std_params.assign(b.params.size(), kSentinel);
        return b;
    }

    int run(const double *im, Sint64 w, Sint64 h, Sint64 mea = 11) {
        return fit_array_of_gauss_2d_on_float_image(const_cast<double *>(im), w, h, mea,
                                                    static_cast<Sint64>(cx.size()), cx.data(), cy.data(),
                                                    params.data(), std_params.data(), flags.data());
    }
    int run(const Image &im, Sint64 mea = 11) { return run(im.px.data(), im.w, im.h, mea); }

    const double *rec(std::size_t i) const { return &params[10 * i]; }
    const double *err(std::size_t i) const { return &std_params[10 * i]; }

    bool same_as(const Batch &o) const {
        return same_bits(params, o.params) && same_bits(std_params, o.std_params) && flags == o.flags;
    }
    // Flagged, with the usual start kept, noise 0 and no standard errors:
    // a peak whose window leaves the image.
    bool outside(std::size_t i) const {
        const Batch fresh({{0, 0}});
        bool nan_errors = true;
        for (int k = 0; k < 7; k++) nan_errors = nan_errors && std::isnan(err(i)[k]);
        return flags[i] == 1 && same_bits(rec(i), fresh.rec(0), 7) && rec(i)[8] == 0.0 && nan_errors;
    }
};

// Working memory of n doubles aligned to 64 bytes, as the fits' own is.
struct AlignedMemory {
    std::vector<double> memory;
    double *data;
    explicit AlignedMemory(std::size_t n) : memory(n + 8) {
        void *at = memory.data();
        std::size_t space = memory.size() * sizeof(double);
        data = static_cast<double *>(std::align(64, n * sizeof(double), at, space));
    }
};

// synth_image of the peaks (7 values each, image coordinates) into `im`;
// its result.
inline int render(Image &im, Sint64 mea, const std::vector<Params> &peaks) {
    std::vector<double> flat;
    for (const Params &p : peaks) flat.insert(flat.end(), p.begin(), p.end());
    return synth_image(im.px.data(), im.w, im.h, mea, peaks.size(), flat.data());
}
