/* Both public headers compile as strict C11, and a C caller can use the
 * library through them. */
#include "c_common.h"
#include "gauss2_fitter.h"

#include <math.h>
#include <stdio.h>

_Static_assert(sizeof(np_float64) == 8, "np_float64 is a double");
_Static_assert(sizeof(Uint128) == 16 && sizeof(Sint128) == 16, "128-bit aliases");

int main(void) {
    np_float64 params[7] = {100.0, 1.0, 1.0, 1.5, 1.5, 0.0, 2.0};
    np_float64 pixels[9];
    np_float64 jac[63];
    gauss_2d(params, pixels, 7, 9, NULL);
    jac_gauss_2d(params, jac, 7, 9, NULL);
    if (sanity_check() != 0) return 1;
    if (!(pixels[4] > pixels[0]) || jac[4 * 7 + 6] != 1.0) return 2;
    if (fabs(pixels[4] - (100.0 / (2.0 * 3.141592653589793) + 2.0)) > 1e-12) return 3;
    return 0;
}
