/* The public headers compile as strict C11, and a C caller can use the
 * library through them. */
#include <math.h>
#include <stddef.h>
#include <stdio.h>

#include "c_common.h"
#include "gauss2_fitter.h"
#include "gauss2_mle.h"
#include "gauss2_multi.h"
#include "gauss2_peaks.h"
#include "gauss2_photometry.h"

_Static_assert(sizeof(np_float64) == 8, "np_float64 is a double");
_Static_assert(sizeof(Uint8) == 1 && sizeof(Uint16) == 2 && sizeof(Uint32) == 4 && sizeof(Uint64) == 8,
               "unsigned aliases");
_Static_assert(sizeof(Sint8) == 1 && sizeof(Sint16) == 2 && sizeof(Sint32) == 4 && sizeof(Sint64) == 8,
               "signed aliases");
_Static_assert(sizeof(Uint128) == 16 && sizeof(Sint128) == 16, "128-bit aliases");
_Static_assert(sizeof(Float32) == 4 && sizeof(Float64) == 8, "float aliases");
_Static_assert((Sint8)-1 < 0 && (Uint8)-1 > 0, "signedness of the aliases");
_Static_assert(sizeof(Tab) == 56, "Tab is seven 64-bit words");
_Static_assert(offsetof(Tab, n_bytes_per_row) == 8 && offsetof(Tab, n_rows) == 24 &&
                   offsetof(Tab, flags) == 48,
               "Tab field offsets");
_Static_assert(sizeof(HashRec) == 16 && offsetof(HashRec, val) == 8, "HashRec is two 64-bit words");
_Static_assert(sizeof(Hash) == 24 && offsetof(Hash, n_max_recs) == 8 && offsetof(Hash, n_recs) == 16,
               "Hash is three 64-bit words");
_Static_assert(sizeof(F64Arr) == 80 && offsetof(F64Arr, shape) == 16 && offsetof(F64Arr, pitch) == 48,
               "F64Arr is ten 64-bit words");
_Static_assert(TAB_FLAGS_GROWABLE == 0x02 && TAB_FLAGS_ARRAY == 0x20, "table flag bits");

int main(void) {
    np_float64 params[7] = {100.0, 1.0, 1.0, 1.5, 1.5, 0.0, 2.0};
    np_float64 pixels[9];
    np_float64 jac[63];
    gauss_2d(params, pixels, 7, 9, NULL);
    jac_gauss_2d(params, jac, 7, 9, NULL);
    if (sanity_check() != 0) return 1;
    if (!(pixels[4] > pixels[0]) || jac[4 * 7 + 6] != 1.0) return 2;
    if (fabs(pixels[4] - (100.0 / (2.0 * 3.141592653589793) + 2.0)) > 1e-12) return 3;
    {
        Uint32 rows[6] = {0};
        const Uint32 row[2] = {7, 8};
        Tab tab = tab_by_n_rows(rows, 3, sizeof row, TAB_FLAGS_GROWABLE);
        if (tab_add(&tab, row, NULL) != 0 || ((const Uint32 *)tab_get(&tab, 0, 0))[1] != 8) return 4;
        tab_tests();
    }
    {
        HashRec recs[4];
        Hash hash = hash_init(recs, 4);
        if (hash_get(hash, 6) != &recs[2]) return 5;
    }
    {
        const Uint64 shape[2] = {2, 3};
        F64Arr arr = f64arr_malloc(2, shape);
        *f64arr_ptr2(&arr, 1, 2) = 1.0;
        if (arr.base[5] != 1.0 || f64arr_subset(&arr, 1).base != arr.base + 3) return 6;
        f64arr_free(&arr);
    }
    {
        /* One bright pixel in a 9 x 9 frame: one peak, there. */
        np_float64 frame[81] = {0}, work[4 * 81], thr;
        Sint64 pf, px, py;
        frame[4 * 9 + 5] = 10.0;
        if (find_peaks_work_size(9, 9) != 4 * 81L) return 7;
        if (find_peaks_in_frames(frame, 1, 9, 9, 0.0, 2, 2, 1.0, 5.0, work, 1, &pf, &px, &py, &thr) != 1 ||
            pf != 0 || px != 5 || py != 4 || thr != 1.0)
            return 8;
    }
    {
        /* A noise-free spot on a background of 5 photo-electrons, fitted by
         * maximum likelihood: found where it is, flagged good. */
        np_float64 im[15 * 15], spot[7] = {500.0, 1.3, 1.3, 7.3, 7.6, 0.0, 5.0};
        np_float64 rec[10] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0, 0.0, 0.0, 0.0}, err[10];
        Sint64 cx = 7, cy = 7, flag = -1, iterations = -1;
        gauss_2d(spot, im, 7, 15 * 15, NULL);
        fit_array_of_gauss_2d_mle_on_float_image(im, 15, 15, 11, 1, &cx, &cy, 1.0, NULL, rec, err, &flag,
                                                 &iterations);
        if (flag != GAUSS2_FLAG_GOOD || iterations < 1 || fabs(rec[3] - 5.3) > 1e-3 || !(err[3] > 0.0))
            return 9;
    }
    {
        /* The same spot measured with its shape held: its volume, on a
         * background of 5. */
        static np_float64 im[15 * 15], work[200000];
        np_float64 spot[7] = {500.0, 1.3, 1.3, 7.3, 7.6, 0.0, 5.0}, rec[5] = {7.3, 7.6, 1.3, 1.3, 0.0},
                   out[4];
        Sint64 group = 0, flag = -1;
        gauss_2d(spot, im, 7, 15 * 15, NULL);
        if (gauss2_photometry_work_size(9) > 200000) return 10;
        fit_array_of_gauss_2d_photometry_on_float_image(im, 15, 15, 9, 1, rec, &group, 0.0, NULL, work, out,
                                                        &flag, NULL);
        if (flag != GAUSS2_PHOTOMETRY_MEASURED || fabs(out[0] - 500.0) > 1e-6 || fabs(out[2] - 5.0) > 1e-9)
            return 11;
    }
    return 0;
}
