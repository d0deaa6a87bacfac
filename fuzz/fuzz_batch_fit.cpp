// The batch fit, the patch fits and the image checks over arbitrary small
// images, peak lists, patch sides and starting records, with NaN, infinite,
// huge and zero values anywhere, and with hostile solver options.
//
// Inputs never break a contract that ends the process by design: the batch's
// mea is odd in 1..63 and every buffer holds what its sizes claim (images of
// extreme claimed sizes have no rows or no columns, so nothing in them can be
// read). Properties checked for every input:
//  - the batch returns 0, reads the image only and never touches a skipped
//    peak's records or the caller's elements 7 and 9 (std_params 7..9);
//  - every fitted peak equals the patch fit of the same start, bit for bit,
//    and its flag, noise and standard errors follow from that fit's result,
//    report and covariance;
//  - fit_gauss_2d returns 0 or -1 and writes nothing for too few pixels;
//  - the stop-reason lookup returns an entry of the table for any report;
//  - validate_im agrees with a plain scan for NaN;
//  - the maximum-likelihood batch (with any read-noise variance, map or not,
//    and any options) returns 0, reads the image only, flags every peak with
//    one of its codes, leaves skipped peaks and the caller's elements alone,
//    and gives standard errors exactly for the peaks it does not fail; the
//    least-squares batch with a report equals the plain batch bit for bit;
//  - the peak search on the image returns peaks inside its border;
//  - all of the above on every kernel path this machine runs (an input is
//    run once per path), and every path's results are the portable path's,
//    to the bit (NaN: NaN).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fit_harness.h"
#include "fuzz_input.h"
#include "gauss2_fitter.h"
#include "gauss2_mle.h"
#include "gauss2_paths.h"
#include "gauss2_peaks.h"

namespace {

struct Setup {
    Sint64 mea = 1, n = 0;
    Image im{0, 0};
    std::vector<Sint64> cx, cy;
    std::vector<double> start;  // n x 10
};

Sint64 clamp_small(Sint64 v) { return v < 0 ? 0 : (v > 64 ? 64 : v); }

void read_image(FuzzInput &in, Setup &s, uint8_t flags) {
    Sint64 w = in.in_range(-3, 40), h = in.in_range(-3, 40);
    if (flags & 0x08) {  // an extreme claimed size along one axis, none along the other
        if (in.byte() & 1) {
            w = in.index(-3, 40);
            h = in.in_range(-3, 0);
        } else {
            h = in.index(-3, 40);
            w = in.in_range(-3, 0);
        }
    }
    s.im = Image(w, h);
    const Sint64 count = static_cast<Sint64>(s.im.px.size());
    if (count == 0) return;
    if ((flags & 0x06) == 0) {  // every pixel from the input
        for (double &v : s.im.px) v = in.real();
        return;
    }
    // A background and a spot, then a few pixels replaced by any value.
    const double background = (flags & 0x04) ? in.real() : static_cast<double>(in.in_range(0, 255));
    const double amp = (flags & 0x02) ? static_cast<double>(in.in_range(1, 4000)) : in.real();
    const double px = static_cast<double>(in.in_range(0, w * 16)) / 16.0;
    const double py = static_cast<double>(in.in_range(0, h * 16)) / 16.0;
    const double sx = 0.5 + in.byte() / 64.0, sy = 0.5 + in.byte() / 64.0;
    for (double &v : s.im.px) v = background;
    s.im.add_spot({amp, sx, sy, px, py, 0.0, 0.0});
    for (int k = in.byte() % 4; k > 0; k--)
        s.im.px[static_cast<size_t>(in.in_range(0, count - 1))] = in.real();
}

void read_peaks(FuzzInput &in, Setup &s) {
    s.n = in.in_range(0, 8);
    const double half = static_cast<double>(s.mea) / 2.0;  // the middle pixel's centre
    for (Sint64 i = 0; i < s.n; i++) {
        s.cx.push_back(in.index(-2, clamp_small(s.im.w) + 1));
        s.cy.push_back(in.index(-2, clamp_small(s.im.h) + 1));
        // The usual start, with the fields of the mask taken from the input.
        const double usual[10] = {0.0, 1.5, 1.5, half, half, 0.0, 0.0, 0.125, 3.0, 0.25};
        const uint16_t mask = in.raw<uint16_t>();
        for (int k = 0; k < 10; k++) s.start.push_back((mask >> k) & 1 ? in.real() : usual[k]);
    }
}

// What an input gives, gathered to be compared across the kernel paths.
using Results = std::vector<double>;

void gather(Results &r, const std::vector<double> &v) { r.insert(r.end(), v.begin(), v.end()); }
void gather(Results &r, const std::vector<Sint64> &v) {
    for (Sint64 x : v) r.push_back(static_cast<double>(x));
}

// The batch against a patch fit of every peak that is not skipped.
void check_batch(const Setup &s, Results &results) {
    const size_t n = static_cast<size_t>(s.n);
    Batch b = Batch::with_starts(s.cx, s.cy, s.start);
    const Image im = s.im;
    FUZZ_CHECK(b.run(im, s.mea) == 0);
    FUZZ_CHECK(same_bits(im.px, s.im.px));
    FUZZ_CHECK(b.cx == s.cx && b.cy == s.cy);

    for (size_t i = 0; i < n; i++) {
        const double *start = &s.start[10 * i], *rec = b.rec(i), *err = b.err(i);
        const std::vector<Sint64> &flags = b.flags;
        FUZZ_CHECK(flags[i] == 0 || flags[i] == 1);
        FUZZ_CHECK(same_bits(rec[7], start[7]) && same_bits(rec[9], start[9]));
        for (int k = 7; k < 10; k++) FUZZ_CHECK(same_bits(err[k], kSentinel));
        if (s.cx[i] < 0 || s.cy[i] < 0) {
            FUZZ_CHECK(flags[i] == 1);
            FUZZ_CHECK(same_bits(rec, start, 10));
            for (int k = 0; k < 7; k++) FUZZ_CHECK(same_bits(err[k], kSentinel));
            continue;
        }
        // The patch fit with the batch's own presets: NaN report and covariance.
        PatchFit f;
        std::copy(start, start + 7, f.params);
        for (double &v : f.info) v = NAN;
        for (double &v : f.covar) v = NAN;
        f.noise = 0.0;
        const int r = f.on(im, s.cx[i], s.cy[i], s.mea).result;
        const double *p = f.params, *info = f.info, *covar = f.covar;
        const double noise = f.noise;
        FUZZ_CHECK(r == 0 || r == -1 || r == -2);
        FUZZ_CHECK(same_bits(rec, p, 7));
        FUZZ_CHECK(same_bits(rec[8], noise));
        FUZZ_CHECK(!(noise < 0.0));
        for (int k = 0; k < 7; k++) FUZZ_CHECK(same_bits(err[k], std::sqrt(covar[k * 8L])));
        const double reason = info[6];
        if (r == -2) {
            FUZZ_CHECK(same_bits(p, start, 7) && noise == 0.0 && std::isnan(reason));
        } else if (r == -1) {
            // Refused before starting (one pixel), or stopped by a singular
            // system or values that are not finite.
            FUZZ_CHECK(noise == 0.0);
            FUZZ_CHECK(std::isnan(reason) || reason == 4.0 || reason == 7.0);
        } else {
            FUZZ_CHECK(reason == 1.0 || reason == 2.0 || reason == 3.0 || reason == 5.0 || reason == 6.0);
            FUZZ_CHECK(info[5] >= 0.0 && info[5] <= 75.0);
        }
        FUZZ_CHECK(flags[i] == ((r != 0 || reason == 3.0) ? 1 : 0));
    }
    gather(results, b.params), gather(results, b.std_params), gather(results, b.flags);
}

void check_mle_batch(FuzzInput &in, const Setup &s, Results &results) {
    const size_t n = static_cast<size_t>(s.n);
    const double any = in.real();
    const double read_var = any >= 0.0 && any <= DBL_MAX ? any : 0.0;
    std::vector<double> map;
    if (in.byte() & 1) {
        map.assign(s.im.px.size(), read_var);
        for (int k = in.byte() % 3; k > 0 && !map.empty(); k--)
            map[static_cast<size_t>(in.in_range(0, static_cast<Sint64>(map.size()) - 1))] = in.real();
    }
    double saved[2];
    std::memcpy(saved, gauss2_mle_opts, sizeof saved);
    if (in.byte() & 1)
        for (double &v : gauss2_mle_opts) v = in.real();
    std::vector<double> params = s.start, std_params(n * 10, kSentinel), im = s.im.px;
    std::vector<Sint64> flags(n, -5), iterations(n, -5), cx = s.cx, cy = s.cy;
    const Sint64 w = s.im.w, h = s.im.h;
    FUZZ_CHECK(fit_array_of_gauss_2d_mle_on_float_image(im.data(), w, h, s.mea, s.n, cx.data(), cy.data(),
                                                        read_var, map.empty() ? nullptr : map.data(),
                                                        params.data(), std_params.data(), flags.data(),
                                                        iterations.data()) == 0);
    std::memcpy(gauss2_mle_opts, saved, sizeof saved);
    FUZZ_CHECK(same_bits(im, s.im.px) && cx == s.cx && cy == s.cy);
    for (size_t i = 0; i < n; i++) {
        const double *start = &s.start[10 * i], *rec = &params[10 * i], *err = &std_params[10 * i];
        FUZZ_CHECK(flags[i] >= GAUSS2_FLAG_GOOD && flags[i] <= GAUSS2_FLAG_ITERATION_LIMIT);
        FUZZ_CHECK(iterations[i] >= 0 && iterations[i] <= GAUSS2_MLE_MAX_ITERATIONS);
        FUZZ_CHECK(same_bits(rec[7], start[7]) && same_bits(rec[9], start[9]));
        for (int k = 7; k < 10; k++) FUZZ_CHECK(same_bits(err[k], kSentinel));
        if (s.cx[i] < 0 || s.cy[i] < 0) {
            FUZZ_CHECK(flags[i] == GAUSS2_FLAG_SKIPPED && iterations[i] == 0 && same_bits(rec, start, 10));
            for (int k = 0; k < 7; k++) FUZZ_CHECK(same_bits(err[k], kSentinel));
            continue;
        }
        bool errors = true;
        for (int k = 0; k < 7; k++) errors = errors && err[k] >= 0.0 && err[k] <= DBL_MAX;
        FUZZ_CHECK(errors == (flags[i] == GAUSS2_FLAG_GOOD || flags[i] == GAUSS2_FLAG_ITERATION_LIMIT));
    }
    // The least-squares batch with a report, against the plain batch.
    Batch plain = Batch::with_starts(s.cx, s.cy, s.start);
    plain.run(s.im, s.mea);
    std::vector<double> report = s.start, report_std(n * 10, kSentinel);
    std::vector<Sint64> report_flags(n, -5), reasons(n, -5), counts(n, -5);
    fit_array_of_gauss_2d_on_float_image_report(im.data(), w, h, s.mea, s.n, cx.data(), cy.data(),
                                                report.data(), report_std.data(), report_flags.data(),
                                                reasons.data(), counts.data());
    FUZZ_CHECK(same_bits(plain.params, report) && same_bits(plain.std_params, report_std));
    for (size_t i = 0; i < n; i++) {
        FUZZ_CHECK(plain.flags[i] == (report_flags[i] == GAUSS2_FLAG_GOOD ? 0 : 1));
        FUZZ_CHECK(reasons[i] >= 0 && reasons[i] <= 7 && counts[i] >= 0 && counts[i] <= 75);
        FUZZ_CHECK((report_flags[i] == GAUSS2_FLAG_ITERATION_LIMIT) == (reasons[i] == 3));
    }
    gather(results, params), gather(results, std_params), gather(results, flags), gather(results, iterations);
    gather(results, reasons), gather(results, counts);
}

// The peak search on the image (when it has pixels), with settings from the
// input: peaks lie inside the border, and as many are stored as there is
// room for.
void check_peaks(FuzzInput &in, const Setup &s, Results &results) {
    const double smooth = static_cast<double>(in.byte() % 9) * 0.5;
    const Sint64 min_distance = 1 + in.byte() % 4, border = in.byte() % 4;
    const double threshold = in.byte() & 1 ? in.real() : NAN, n_sigma = static_cast<double>(in.byte() % 8);
    const Sint64 w = s.im.w, h = s.im.h;
    if (w < 1 || h < 1) return;
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(w, h))), thresholds(1);
    constexpr Sint64 kRoom = 64;
    std::vector<Sint64> pf(kRoom, -5), px(kRoom, -5), py(kRoom, -5);
    const Sint64 total =
        find_peaks_in_frames(s.im.px.data(), 1, w, h, smooth, min_distance, border, threshold, n_sigma,
                             work.data(), kRoom, pf.data(), px.data(), py.data(), thresholds.data());
    FUZZ_CHECK(total >= 0);
    for (Sint64 k = 0; k < std::min(total, kRoom); k++)
        FUZZ_CHECK(pf[k] == 0 && px[k] >= border && px[k] < w - border && py[k] >= border &&
                   py[k] < h - border);
    for (Sint64 k = total; k < kRoom; k++) FUZZ_CHECK(pf[k] == -5);
    results.push_back(static_cast<double>(total));
    gather(results, px), gather(results, py), gather(results, thresholds);
}

// fit_gauss_2d on a patch of any side from 0 to 12, even ones included.
void check_patch_fit(FuzzInput &in, const Setup &s) {
    const Sint64 mea = in.in_range(-2, 12);
    const size_t n = mea > 0 ? static_cast<size_t>(mea * mea) : 0;
    const std::vector<double> &im = s.im.px;
    std::vector<double> px(n);
    for (size_t k = 0; k < n; k++) px[k] = im.empty() ? in.real() : im[k % im.size()];
    const std::vector<double> px_before = px;
    PatchFit f;
    for (int k = 0; k < 7; k++) f.params[k] = s.start.empty() ? in.real() : s.start[k];
    PatchFit before = f;
    const int r = f.pixels(px.data(), mea).result;
    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK(same_bits(px, px_before));
    before.result = r;
    FUZZ_CHECK(n >= 7 || (r == -1 && f.same_as(before)));  // no problem to solve: nothing written
    const char *text = get_dlevmar_stop_reason_from_info(f.info);
    bool listed = false;
    for (char *entry : dlevmar_stop_reasons) listed = listed || entry == text;
    FUZZ_CHECK(listed);
}

void check_stop_reason(FuzzInput &in) {
    double info[10] = {};
    info[6] = in.real();
    const char *text = get_dlevmar_stop_reason_from_info(info);
    const double code = info[6];
    const bool whole_code = code > -1.0 && code < 8.0;  // truncates to 0..7
    FUZZ_CHECK(text == dlevmar_stop_reasons[whole_code ? static_cast<int>(code) : 0]);
}

void check_validate(const Setup &s) {
    Sint64 product = 0;
    const bool overflows = __builtin_mul_overflow(s.im.w, s.im.h, &product);
    // Both sizes negative claim a positive count of values, which are read:
    // this buffer does not hold them.
    if (!overflows && product > 0 && static_cast<size_t>(product) != s.im.px.size()) return;
    bool any_nan = false;
    for (double v : s.im.px) any_nan = any_nan || std::isnan(v);
    FUZZ_CHECK(validate_im(s.im.data(), s.im.w, s.im.h) == (any_nan ? 0 : 1));
}

// Every check of one input on the kernel path in use; what it gave.
Results check_input(const uint8_t *data, size_t size) {
    Results results;
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();

    double saved_opts[5];
    std::memcpy(saved_opts, dlevmar_opts, sizeof saved_opts);
    if (flags & 0x01)  // the host may set any options
        for (double &v : dlevmar_opts) v = in.real();

    if (flags & 0x10) {  // no peaks, or a negative count: nothing is read or written
        const Sint64 n = -in.in_range(0, 1000);
        FUZZ_CHECK(fit_array_of_gauss_2d_on_float_image(nullptr, in.index(-3, 40), in.index(-3, 40), 11, n,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr) == 0);
    }

    Setup s;
    s.mea = 2 * (in.byte() % 32) + 1;
    read_image(in, s, flags);
    read_peaks(in, s);
    check_batch(s, results);
    check_patch_fit(in, s);
    check_stop_reason(in);
    check_validate(s);
    check_mle_batch(in, s, results);  // then: the earlier checks read the input as they always did
    check_peaks(in, s, results);

    std::memcpy(dlevmar_opts, saved_opts, sizeof saved_opts);
    return results;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const gauss2::KernelPath saved = gauss2::kernel_path();
    Results portable;
    for (gauss2::KernelPath path = 0; path <= gauss2::best_kernel_path(); path++) {
        gauss2::set_kernel_path(path);
        const Results results = check_input(data, size);
        if (path == gauss2::kDefaultPath) {
            portable = results;
        } else {
            FUZZ_CHECK(results.size() == portable.size());
            for (size_t k = 0; k < results.size(); k++) FUZZ_CHECK(same_values(results[k], portable[k]));
        }
    }
    gauss2::set_kernel_path(saved);
    return 0;
}
