// Localisations drawn as pixel-integrated Gaussians (gauss2_render.h): the
// values of the rule, the footprint's reach and clipping, wide footprints
// drawn in pieces, what is skipped, and no heap.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "gauss2_render.h"
#include "heap_counter.h"

namespace {

double phi(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

struct Picture {
    Sint64 w, h;
    std::vector<double> im;
    Picture(Sint64 w_, Sint64 h_) : w(w_), h(h_), im(static_cast<size_t>(w_ * h_), 0.0) {}
    Sint64 draw(std::vector<double> x, std::vector<double> y, std::vector<double> sx,
                std::vector<double> sy) {
        return render_gaussians(im.data(), w, h, static_cast<Sint64>(x.size()), x.data(), y.data(), sx.data(),
                                sy.data());
    }
    double at(Sint64 i, Sint64 j) const { return im[static_cast<size_t>(i * w + j)]; }
    double sum() const { return std::accumulate(im.begin(), im.end(), 0.0); }
};

}  // namespace

TEST(RenderGaussians, EachPixelHoldsItsIntegralAndTheWholeSumsToOne) {
    Picture p(40, 30);
    EXPECT_EQ(p.draw({17.3}, {12.8}, {1.2}, {0.7}), 1);
    EXPECT_NEAR(p.sum(), 1.0, 1e-6);
    for (Sint64 i : {9, 12, 13, 15}) {
        for (Sint64 j : {14, 17, 18, 21}) {
            const double want = (phi((j + 1 - 17.3) / 1.2) - phi((j - 17.3) / 1.2)) *
                                (phi((i + 1 - 12.8) / 0.7) - phi((i - 12.8) / 0.7));
            EXPECT_NEAR(p.at(i, j), want, 1e-15) << i << " " << j;
        }
    }
    // The reach: ceil(5 sigma) + 1 pixels from the one holding the centre on each axis, nothing beyond.
    EXPECT_GT(p.at(12, 17 - 7), 0.0);
    EXPECT_EQ(p.at(12, 17 - 8), 0.0);
    EXPECT_GT(p.at(12 + 5, 17), 0.0);
    EXPECT_EQ(p.at(12 + 6, 17), 0.0);
}

TEST(RenderGaussians, FootprintsAreClippedToTheImageAndWideOnesDrawnInPieces) {
    Picture edge(20, 20);
    EXPECT_EQ(edge.draw({0.0}, {10.5}, {1.0}, {1.0}), 1);
    EXPECT_NEAR(edge.sum(), 0.5, 1e-6);  // half of it lies left of the image
    Picture wide(1500, 3);
    EXPECT_EQ(wide.draw({750.0}, {1.5}, {200.0}, {0.3}), 1);  // 2 000 columns of reach: several pieces
    EXPECT_NEAR(wide.sum(), (1.0 - 2 * phi(-750.0 / 200.0)) * (1.0 - 2 * phi(-1.5 / 0.3)), 1e-9);
    EXPECT_NEAR(wide.at(1, 749), wide.at(1, 750), 1e-12);  // symmetric about the centre
}

TEST(RenderGaussians, SkipsWhatCannotBeDrawnAndAllocatesNothing) {
    Picture p(16, 16);
    const double nan = std::nan(""), inf = INFINITY;
    std::vector<double> x{nan, 5.0, 5.0, 5.0, 5.0, -40.0, 1e300, 8.0},
        y{5.0, inf, 5.0, 5.0, 5.0, 5.0, 5.0, 8.0}, sx{1.0, 1.0, 0.0, -1.0, inf, 1.0, 1.0, 0.5},
        sy{1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.5};
    const long before = heap_calls();
    const Sint64 drawn = render_gaussians(p.im.data(), p.w, p.h, 8, x.data(), y.data(), sx.data(), sy.data());
    if (kMallocCounted) {
        EXPECT_EQ(heap_calls(), before);
    }
    EXPECT_EQ(drawn, 1);  // only the last: the others have no finite centre or width, or lie far outside
    EXPECT_NEAR(p.sum(), 1.0, 1e-6);
    Picture empty(4, 4);
    EXPECT_EQ(empty.draw({}, {}, {}, {}), 0);
}
