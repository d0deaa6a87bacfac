// The steps of a peak's fit that every batch shares (gauss2_batch.h): the
// bound on the side, the window rule, the prefetch of the next window and
// the starting values.

#include "gauss2_batch.h"

namespace gauss2 {

namespace {

// The estimate of amp from the window's range takes this 2 pi, not the
// model's: the reference fits were made with it.
constexpr double kAmpEstimateTwoPi = 6.283185308;

}  // namespace

void ensure_mea_bound(Sint64 mea) {
    ensure(mea <= GAUSS2_MAX_MEA, "Mea too large: %ld (at most %d)", static_cast<long>(mea), GAUSS2_MAX_MEA);
}

bool window_in_image(Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y, Sint64 mea,
                     ImageWindow *out) {
    // 128-bit arithmetic: no centre, however far out, wraps inside. A
    // negative half gives corners in reverse order, tested as they come.
    const Sint64 half = mea / 2;  // truncated toward zero: 0 for mea = -1
    const Sint128 r0 = static_cast<Sint128>(center_y) - half, r1 = static_cast<Sint128>(center_y) + half;
    const Sint128 c0 = static_cast<Sint128>(center_x) - half, c1 = static_cast<Sint128>(center_x) + half;
    if (r0 < 0 || c0 < 0 || r1 >= im_h || c1 >= im_w) return false;
    *out = ImageWindow{static_cast<Uint64>(r0) * static_cast<Uint64>(im_w) + static_cast<Uint64>(c0),
                       static_cast<int>(2 * static_cast<Sint128>(half) + 1)};
    return true;
}

bool image_window(Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y, Sint64 mea, ImageWindow *out) {
    ensure((mea & 1) != 0, "Mea must be odd");
    ensure_mea_bound(mea);
    if (!window_in_image(im_w, im_h, center_x, center_y, mea, out)) return false;
    // The side is mea for a positive mea, 1 for mea = -1 (a pixel the solver
    // refuses), never mea below that.
    const Sint128 side = 2 * static_cast<Sint128>(mea / 2) + 1;
    ensure(side * side == static_cast<Sint128>(mea) * mea, "size mismatch");
    return true;
}

// Not analysed across calls: GCC would find nothing but prefetches in it,
// take it for a function without effects and drop its calls. (clang keeps
// them and has no such attribute.)
#if defined(__has_cpp_attribute) && __has_cpp_attribute(gnu::noipa)
#define GAUSS2_NO_IPA [[gnu::noipa]]
#else
#define GAUSS2_NO_IPA
#endif
GAUSS2_NO_IPA void prefetch_window(const PeakBatch &b, Sint64 center_x, Sint64 center_y) {
    const Sint64 mea = b.mea;
    ImageWindow w{};
    if ((mea & 1) == 0 || mea < 1 || mea > GAUSS2_MAX_MEA || b.im == nullptr ||
        !window_in_image(b.im_w, b.im_h, center_x, center_y, mea, &w))
        return;
    const np_float64 *row = b.im + w.offset;
    for (Sint64 r = 0; r < mea; r++, row += b.im_w) {
        __builtin_prefetch(row);
        __builtin_prefetch(row + mea - 1);
    }
}

void start_values(const np_float64 *window, Sint64 im_w, int side, np_float64 *params) {
    // The window's extremes, in copy order. The starting values 1e10 and 0.0
    // (not +-infinity) decide the estimates for extreme patches.
    double lo = 1e10, hi = 0.0;
    for (int r = 0; r < side; r++)
        for (int c = 0; c < side; c++) {
            const double v = window[static_cast<Uint64>(r) * static_cast<Uint64>(im_w) + c];
            if (!(lo < v)) lo = v;
            if (!(hi > v)) hi = v;
        }
    if (params[0] == 0.0) params[0] = (hi - lo) * ((kAmpEstimateTwoPi * params[1]) * params[2]);
    params[6] = lo;
}

}  // namespace gauss2
