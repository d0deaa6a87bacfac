// Google Benchmark cases for the model, the Jacobian, one patch fit, a
// batch and the peak search. They print times; nothing here asserts one.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss2_peaks.h"

namespace {

// A noisy image with well separated spots on a 16-pixel grid.
struct Field {
    Sint64 w = 512, h = 512;
    std::vector<double> im;
    std::vector<Sint64> cx, cy;
    Field() : im(static_cast<size_t>(w * h)) {
        std::mt19937_64 rng(42);
        std::uniform_real_distribution<double> U(0.0, 1.0);
        std::vector<double> peaks;
        for (Sint64 y = 16; y < h - 16; y += 16)
            for (Sint64 x = 16; x < w - 16; x += 16) {
                const double px = x + U(rng), py = y + U(rng);
                const double p[7] = {8e3 + 2e4 * U(rng),
                                     1.1 + 0.8 * U(rng),
                                     1.1 + 0.8 * U(rng),
                                     px,
                                     py,
                                     0.6 * U(rng) - 0.3,
                                     0.0};
                peaks.insert(peaks.end(), p, p + 7);
                cx.push_back(static_cast<Sint64>(std::floor(px)));
                cy.push_back(static_cast<Sint64>(std::floor(py)));
            }
        synth_image(im.data(), w, h, 15, peaks.size() / 7, peaks.data());
        std::normal_distribution<double> N(0.0, 1.0);
        for (double &v : im) v += 100.0 + std::sqrt(v + 100.0 + 25.0) * N(rng);
    }
    Sint64 n() const { return static_cast<Sint64>(cx.size()); }
};

const Field &field() {
    static const Field f;
    return f;
}

void BM_gauss_2d(benchmark::State &state) {
    double p[7] = {1e4, 1.4, 1.2, 5.3, 5.6, 0.2, 100.0}, out[121];
    for (auto _ : state) {
        gauss_2d(p, out, 7, 121, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * 121);
}

void BM_jac_gauss_2d(benchmark::State &state) {
    double p[7] = {1e4, 1.4, 1.2, 5.3, 5.6, 0.2, 100.0}, out[847];
    for (auto _ : state) {
        jac_gauss_2d(p, out, 7, 121, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * 121);
}

void BM_patch_fit(benchmark::State &state) {
    const Field &f = field();
    Sint64 i = 0;
    double info[10], covar[49], noise;
    for (auto _ : state) {
        double p[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0};
        benchmark::DoNotOptimize(fit_gauss_2d_on_float_image(const_cast<double *>(f.im.data()), f.w, f.h,
                                                             f.cx[i], f.cy[i], 11, p, info, covar, &noise));
        i = (i + 1) % f.n();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_batch(benchmark::State &state) {
    const Field &f = field();
    const Sint64 n = f.n();
    std::vector<double> params(10 * n), std_params(10 * n);
    std::vector<Sint64> flags(n);
    std::vector<Sint64> cx = f.cx, cy = f.cy;
    for (auto _ : state) {
        state.PauseTiming();
        for (Sint64 i = 0; i < n; i++) {
            const double start[10] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0, 0.0, 0.0, 0.0};
            std::copy(start, start + 10, params.begin() + 10 * i);
        }
        state.ResumeTiming();
        fit_array_of_gauss_2d_on_float_image(const_cast<double *>(f.im.data()), f.w, f.h, 11, n, cx.data(),
                                             cy.data(), params.data(), std_params.data(), flags.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The peak search on a 512 x 512 frame whose values rise towards one corner
// (uneven illumination) under noise, with a threshold at its median: half
// the pixels are candidates, and a candidate's square holds larger pixels
// only on one side. Its time must not grow with min_distance (the argument).
void BM_peak_search(benchmark::State &state) {
    const Sint64 w = 512, h = 512;
    std::vector<double> im(static_cast<size_t>(w * h));
    std::mt19937_64 rng(5);
    std::normal_distribution<double> N(0.0, 1.0);
    for (Sint64 i = 0; i < h; i++)
        for (Sint64 j = 0; j < w; j++) im[i * w + j] = 0.05 * static_cast<double>(i + j) + N(rng);
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(w, h))), thr(1);
    std::vector<Sint64> f(1 << 16), x(1 << 16), y(1 << 16);
    for (auto _ : state)
        benchmark::DoNotOptimize(find_peaks_in_frames(im.data(), 1, w, h, 1.0, state.range(0), 5, 25.55, 5.0,
                                                      work.data(), 1 << 16, f.data(), x.data(), y.data(),
                                                      thr.data()));
    state.SetItemsProcessed(state.iterations() * w * h);
}

}  // namespace

BENCHMARK(BM_gauss_2d);
BENCHMARK(BM_jac_gauss_2d);
BENCHMARK(BM_patch_fit);
BENCHMARK(BM_batch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_peak_search)->Arg(2)->Arg(32)->Arg(512)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
