// Fits every peak of a workload file with one batch call and prints fits/s.
// File layout (little-endian): int64 h, w, n, mea; h*w float64 image;
// n int64 columns; n int64 rows. Under callgrind, collect only inside the
// batch call (--toggle-collect=fit_array_of_gauss_2d_on_float_image).
//
// With a third argument "callbacks", the peaks are fitted the way a build
// over levmar does it: the same solver, handed the exported gauss_2d and
// jac_gauss_2d as separate callbacks that store the n x 7 Jacobian, from the
// same starting values (--toggle-collect=fit_by_callbacks). With "mle", the
// Poisson maximum-likelihood batch fits them (read-noise variance from a
// fourth argument, default 0), and the mean iterations per fit are printed
// too (--toggle-collect=fit_array_of_gauss_2d_mle_on_float_image).
//
// `--out FILE` anywhere among the arguments writes the last run's outputs
// (n x 10 records, n x 10 standard errors, n flags, as float64, int64,
// little-endian), so that two builds' whole fits can be compared bit for bit.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss2_mle.h"
#include "lm/levmar.h"

extern "C" __attribute__((noinline)) void fit_by_callbacks(const double *im, Sint64 w, Sint64 mea, Sint64 n,
                                                           const Sint64 *cx, const Sint64 *cy, double *params,
                                                           double *std_params, Sint64 *flags) {
    const int side = static_cast<int>(mea), count = side * side;
    std::vector<double> patch(count), model(count), work(lm::work_size(7, count));
    for (Sint64 i = 0; i < n; i++) {
        double lo = 1e10, hi = 0.0;
        for (int r = 0, k = 0; r < side; r++)
            for (int c = 0; c < side; c++, k++) {
                const double v = im[(cy[i] - side / 2 + r) * w + cx[i] - side / 2 + c];
                patch[k] = v;
                if (!(lo < v)) lo = v;
                if (!(hi > v)) hi = v;
            }
        double *p = params + 10 * i;
        if (p[0] == 0.0) p[0] = (hi - lo) * ((6.283185308 * p[1]) * p[2]);
        p[6] = lo;
        double info[10], covar[49];
        const int r = lm::dlevmar_der<7>(gauss_2d, jac_gauss_2d, p, patch.data(), count, 75, dlevmar_opts,
                                         info, work.data(), covar, nullptr);
        gauss_2d(p, model.data(), 7, count, nullptr);
        double sum = 0.0, ss = 0.0;
        for (int k = 0; k < count; k++) sum += patch[k] - model[k];
        for (int k = 0; k < count; k++)
            ss += (patch[k] - model[k] - sum / count) * (patch[k] - model[k] - sum / count);
        p[8] = r >= 0 ? std::sqrt(ss) : 0.0;
        for (int k = 0; k < 7; k++) std_params[10 * i + k] = std::sqrt(covar[k * 8L]);
        flags[i] = r < 0 || info[6] == 3.0;
    }
}

int main(int argc, char **argv) {
    const char *out_path = nullptr;
    for (int a = 1; a + 1 < argc; a++)
        if (std::strcmp(argv[a], "--out") == 0) {
            out_path = argv[a + 1];
            for (int b = a; b + 2 < argc; b++) argv[b] = argv[b + 2];
            argc -= 2;
            break;
        }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKLOAD [REPEATS [callbacks | mle [READ_VAR]]] [--out FILE]\n",
                     argv[0]);
        return 2;
    }
    std::FILE *f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    Sint64 head[4];
    if (std::fread(head, sizeof head, 1, f) != 1) return 2;
    const Sint64 h = head[0], w = head[1], n = head[2], mea = head[3];
    std::vector<double> im(static_cast<size_t>(h * w));
    std::vector<Sint64> cx(static_cast<size_t>(n)), cy(static_cast<size_t>(n));
    if (std::fread(im.data(), sizeof(double), im.size(), f) != im.size() ||
        std::fread(cx.data(), sizeof(Sint64), cx.size(), f) != cx.size() ||
        std::fread(cy.data(), sizeof(Sint64), cy.size(), f) != cy.size())
        return 2;
    std::fclose(f);
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 1;
    const bool callbacks = argc > 3 && std::strcmp(argv[3], "callbacks") == 0;
    const bool mle = argc > 3 && std::strcmp(argv[3], "mle") == 0;
    const double read_var = argc > 4 ? std::atof(argv[4]) : 0.0;

    std::vector<double> params(static_cast<size_t>(10 * n)), std_params(static_cast<size_t>(10 * n));
    std::vector<Sint64> flags(static_cast<size_t>(n)), iterations(static_cast<size_t>(n));
    double best = 1e300;
    Sint64 flagged = 0;
    for (int r = 0; r < repeats; r++) {
        for (Sint64 i = 0; i < n; i++) {
            const double start[10] = {0.0, 1.5, 1.5, mea / 2.0, mea / 2.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            std::copy(start, start + 10, params.begin() + 10 * i);
        }
        const auto t0 = std::chrono::steady_clock::now();
        if (mle)
            fit_array_of_gauss_2d_mle_on_float_image(im.data(), w, h, mea, n, cx.data(), cy.data(), read_var,
                                                     nullptr, params.data(), std_params.data(), flags.data(),
                                                     iterations.data());
        else if (callbacks)
            fit_by_callbacks(im.data(), w, mea, n, cx.data(), cy.data(), params.data(), std_params.data(),
                             flags.data());
        else
            fit_array_of_gauss_2d_on_float_image(im.data(), w, h, mea, n, cx.data(), cy.data(), params.data(),
                                                 std_params.data(), flags.data());
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
        flagged = 0;
        for (Sint64 v : flags) flagged += v != 0;
    }
    double mean_iterations = 0.0;
    for (Sint64 v : iterations) mean_iterations += static_cast<double>(v) / static_cast<double>(n);
    std::printf("fits %ld flagged %ld seconds %.6f fits_per_s %.0f", static_cast<long>(n),
                static_cast<long>(flagged), best, n / best);
    if (mle) std::printf(" iterations %.2f", mean_iterations);
    std::printf("\n");
    if (out_path != nullptr) {
        std::FILE *out = std::fopen(out_path, "wb");
        if (out == nullptr) {
            std::perror(out_path);
            return 2;
        }
        const bool written =
            std::fwrite(params.data(), sizeof(double), params.size(), out) == params.size() &&
            std::fwrite(std_params.data(), sizeof(double), std_params.size(), out) == std_params.size() &&
            std::fwrite(flags.data(), sizeof(Sint64), flags.size(), out) == flags.size();
        if (std::fclose(out) != 0 || !written) {
            std::perror(out_path);
            return 2;
        }
    }
    return 0;
}
