// synth_image over arbitrary small images, patch sides from far below zero up
// to the bound of 63, and peaks with any values (NaN, infinities, huge
// positions). A larger mea ends the process by contract and is never passed.
//
// Properties checked for every input:
//  - the result is 0 and the peaks are left exactly as they were;
//  - only pixels of patches that the placement rules admit change: an
//    independent placement, computed here, marks them (so the last column
//    and the last row never change);
//  - rendering the peaks one call at a time gives the same image, bit for
//    bit, as rendering them in one call.
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "gauss2_fitter.h"
#include "same_bits.h"

namespace {

// Marks the pixels that a peak may change, by the placement rules: inside
// the image, corner floor(pos - mea/2 + 0.5), one column and row to spare.
// Sizes here are small (images with an extreme size have no rows or no
// columns, where nothing is placed), so double arithmetic is exact.
void mark_patch(const double *peak, Sint64 w, Sint64 h, Sint64 mea, std::vector<char> &marked) {
    const double pos_x = peak[3], pos_y = peak[4];
    if (!(0.0 <= pos_x && pos_x < static_cast<double>(w) && 0.0 <= pos_y && pos_y < static_cast<double>(h)))
        return;
    const double half = static_cast<double>(mea) * 0.5;
    const double c0 = std::floor((pos_x - half) + 0.5), r0 = std::floor((pos_y - half) + 0.5);
    if (!(c0 >= 0.0 && c0 + static_cast<double>(mea) < static_cast<double>(w))) return;
    if (!(r0 >= 0.0 && r0 + static_cast<double>(mea) < static_cast<double>(h))) return;
    const double lx = pos_x - c0, ly = pos_y - r0, m = static_cast<double>(mea);
    if (!(0.0 <= lx && lx < m && 0.0 <= ly && ly < m)) return;
    for (Sint64 r = 0; r < mea; r++)
        for (Sint64 c = 0; c < mea; c++)
            marked[static_cast<size_t>((static_cast<Sint64>(r0) + r) * w + static_cast<Sint64>(c0) + c)] = 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();

    Sint64 w = in.in_range(-3, 48), h = in.in_range(-3, 48);
    if (flags & 0x01) {  // an extreme claimed size along one axis, none along the other
        if (flags & 0x02) {
            w = in.index(-3, 48);
            h = in.in_range(-3, 0);
        } else {
            h = in.index(-3, 48);
            w = in.in_range(-3, 0);
        }
    }
    Sint64 mea = in.in_range(-4, GAUSS2_MAX_MEA);
    if (flags & 0x04) {
        static constexpr Sint64 kNegative[] = {INT64_MIN, INT64_MIN + 1, -(Sint64{1} << 32),
                                               -(Sint64{1} << 31), -1};
        mea = kNegative[in.byte() % 5];
    }

    const Sint64 count = (w > 0 && h > 0) ? w * h : 0;
    std::vector<double> im(static_cast<size_t>(count), (flags & 0x08) ? in.real() : 0.0);
    for (int k = count ? in.byte() % 4 : 0; k > 0; k--)
        im[static_cast<size_t>(in.in_range(0, count - 1))] = in.real();

    // Peaks: a plain spot near the image, with the fields of a mask taken
    // from the input.
    const Uint64 n = static_cast<Uint64>(in.in_range(0, 12));
    std::vector<double> peaks;
    const Sint64 span_w = (w > 0 && w <= 48) ? w : 8, span_h = (h > 0 && h <= 48) ? h : 8;
    for (Uint64 k = 0; k < n; k++) {
        const double pos_x = in.in_range(-32, (span_w + 2) * 16) / 16.0;
        const double pos_y = in.in_range(-32, (span_h + 2) * 16) / 16.0;
        const double usual[7] = {100.0, 1.2, 0.9, pos_x, pos_y, 0.1, 0.5};
        const uint8_t mask = in.byte();
        for (int i = 0; i < 7; i++) peaks.push_back((mask >> i) & 1 ? in.real() : usual[i]);
    }
    const std::vector<double> peaks_before = peaks, im_before = im;

    FUZZ_CHECK(synth_image(im.data(), w, h, mea, n, peaks.data()) == 0);
    FUZZ_CHECK(same_bits(peaks.data(), peaks_before.data(), peaks.size()));

    std::vector<char> marked(static_cast<size_t>(count), 0);
    if (mea > 0)
        for (Uint64 k = 0; k < n; k++) mark_patch(&peaks[7 * k], w, h, mea, marked);
    for (size_t i = 0; i < im.size(); i++)
        if (!marked[i]) FUZZ_CHECK(same_bits(im[i], im_before[i]));

    std::vector<double> one_by_one = im_before;
    for (Uint64 k = 0; k < n; k++)
        FUZZ_CHECK(synth_image(one_by_one.data(), w, h, mea, 1, &peaks[7 * k]) == 0);
    FUZZ_CHECK(same_bits(one_by_one.data(), im.data(), im.size()));
    return 0;
}
