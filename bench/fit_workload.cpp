// Fits every peak of a workload file with one batch call and prints fits/s.
// File layout (little-endian): int64 h, w, n, mea; h*w float64 image;
// n int64 columns; n int64 rows. Under callgrind, collect only inside the
// batch call (--toggle-collect=fit_array_of_gauss_2d_on_float_image).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gauss2_fitter.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKLOAD [REPEATS]\n", argv[0]);
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

    std::vector<double> params(static_cast<size_t>(10 * n)), std_params(static_cast<size_t>(10 * n));
    std::vector<Sint64> fails(static_cast<size_t>(n));
    double best = 1e300;
    Sint64 flagged = 0;
    for (int r = 0; r < repeats; r++) {
        for (Sint64 i = 0; i < n; i++) {
            const double start[10] = {0.0, 1.5, 1.5, mea / 2.0, mea / 2.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            std::copy(start, start + 10, params.begin() + 10 * i);
        }
        const auto t0 = std::chrono::steady_clock::now();
        fit_array_of_gauss_2d_on_float_image(im.data(), w, h, mea, n, cx.data(), cy.data(), params.data(),
                                             std_params.data(), fails.data());
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
        flagged = 0;
        for (Sint64 v : fails) flagged += v;
    }
    std::printf("fits %ld flagged %ld seconds %.6f fits_per_s %.0f\n", static_cast<long>(n),
                static_cast<long>(flagged), best, n / best);
    return 0;
}
