/* Renders two spots into an image and fits them back: the library as a C
 * program uses it once installed (built by install_check.sh through CMake's
 * find_package and through pkg-config). */
#include <gauss2_fitter.h>
#include <math.h>
#include <stdio.h>

#define W 64
#define H 48
#define MEA 11

int main(void) {
    static np_float64 im[H * W];
    for (int k = 0; k < H * W; k++) im[k] = 100.0; /* background */

    /* amp (volume), std_x, std_y, pos_x, pos_y, rho, offset; image coordinates */
    np_float64 truth[2 * 7] = {2000.0, 1.4, 1.2, 20.3, 15.6, 0.1,  0.0, /* */
                               1500.0, 1.6, 1.5, 45.8, 30.2, -0.2, 0.0};
    synth_image(im, W, H, 17, 2, truth);

    /* Peak pixels (column, row) and starting records: amp 0.0 asks for an
     * estimate, positions in the patch frame (the window's centre is at MEA/2). */
    Sint64 cx[2] = {20, 45}, cy[2] = {15, 30};
    np_float64 rec[2 * 10] = {0}, se[2 * 10] = {0};
    Sint64 fails[2];
    for (int i = 0; i < 2; i++) {
        rec[10 * i + 1] = rec[10 * i + 2] = 1.5;
        rec[10 * i + 3] = rec[10 * i + 4] = MEA / 2.0;
    }
    fit_array_of_gauss_2d_on_float_image(im, W, H, MEA, 2, cx, cy, rec, se, fails);

    int bad = 0;
    for (int i = 0; i < 2; i++) {
        /* From the patch frame to the image: the window starts at centre - MEA/2. */
        const double x = (double)(cx[i] - MEA / 2) + rec[10 * i + 3];
        const double y = (double)(cy[i] - MEA / 2) + rec[10 * i + 4];
        printf("peak %d: flag %lld  amp %.2f  pos (%.4f, %.4f)  offset %.2f\n", i, (long long)fails[i],
               rec[10 * i], x, y, rec[10 * i + 6]);
        if (fails[i] || fabs(x - truth[7 * i + 3]) > 1e-6 || fabs(y - truth[7 * i + 4]) > 1e-6) bad = 1;
    }
    return bad;
}
