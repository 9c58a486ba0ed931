/* Filters two channels, interleaved as they come from a sound card, in two pieces: the final
 * states of the first piece start the second, which gives the bits of one call over the whole.
 * Then the same in double precision (kind MARROWICK_DRR: double coefficients, samples and states,
 * the bits of SciPy's float64 lfilter), in one call.
 *   cc -std=c99 lowpass.c $(pkg-config --cflags --libs marrowick) -o lowpass && ./lowpass */
#include <marrowick.h>
#include <stdio.h>

int main(void) {
    const float b[3] = {0.25f, 0.5f, 0.25f}, a[3] = {1.0f, -0.5f, 0.125f};
    float x[8][2] = {{1, -1}}, y[8][2], z[2 * 2] = {0}; /* 8 samples of 2 channels; L = 2 states each */
    const marrowick_layout interleaved = {2, 1};         /* sample stride 2, channel stride 1 */
    int status = marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, 4, 2, x[0], &interleaved, y[0], &interleaved, z, z, NULL);
    if (status == MARROWICK_OK)
        status = marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, 4, 2, x[4], &interleaved, y[4], &interleaved, z, z, NULL);
    if (status != MARROWICK_OK) {
        fprintf(stderr, "%s: %s\n", marrowick_status_id(status), marrowick_strerror(status));
        return 1;
    }
    for (int i = 0; i < 8; ++i) printf("%g %g\n", y[i][0], y[i][1]);

    const double bd[3] = {0.25, 0.5, 0.25}, ad[3] = {1.0, -0.5, 0.125};
    double xd[8][2] = {{1, -1}}, yd[8][2];
    const marrowick_kind kind = marrowick_kind_for_precision(1, 0, 0, 0); /* MARROWICK_DRR */
    status = marrowick_lfilter(kind, bd, 3, ad, 3, 8, 2, xd[0], &interleaved, yd[0], &interleaved, NULL, NULL, NULL);
    if (status != MARROWICK_OK) {
        fprintf(stderr, "%s: %s\n", marrowick_status_id(status), marrowick_strerror(status));
        return 1;
    }
    printf("double: %.17g %.17g\n", yd[7][0], yd[7][1]);
    printf("libmarrowick %s (%s)\n", marrowick_version(), marrowick_path_name());
    return 0;
}
