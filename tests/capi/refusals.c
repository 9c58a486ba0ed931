/* Bad calls into the C library: each row returns its documented status and writes nothing (every output
 * buffer keeps its canary), and the status texts are one line, never NULL. Built as C99. */
#include <marrowick.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define M 16
#define N 2
#define CANARY 0xA5u

/* Buffers large enough for any row; outputs filled with the canary before each call. */
static float b[3] = {0.25f, 0.5f, 0.25f}, a[3] = {1.0f, -0.5f, 0.25f}, a0[3] = {0.0f, 1.0f, 0.5f};
static float pole[2] = {1.0f, -1.0f};
static float sos[12] = {0.25f, 0.5f, 0.25f, 1.0f, -0.5f, 0.25f, 1.0f, 0.0f, 0.0f, 1.0f, 0.1f, 0.0f};
static float x[2 * M * N], zi[8];
static float y[2 * M * N + 8], zf[16];
static double steady[8];
static const double halves[4] = {0.5, 0.25, 0.125, -0.5};
static marrowick_filter *made, *made2, *madeDouble;
/* Double precision: the same designs as doubles and (re, im) pairs of doubles; the outputs double. An
 * offset into a double buffer overlaps only when the spans are taken with the kind's own item sizes. */
static double bd[3] = {0.25, 0.5, 0.25}, ad[3] = {1.0, -0.5, 0.25}, a0d[3] = {0.0, 1.0, 0.5};
static double sosd[12] = {0.25, 0.5, 0.25, 1.0, -0.5, 0.25, 1.0, 0.0, 0.0, 0.0, 0.1, 0.0}; /* a0 0 in the second */
static marrowick_cf64 bz[3] = {{0.25, 0.0}, {0.5, 0.0}, {0.25, 0.0}}, poleZ[2] = {{1.0, 0.0}, {-1.0, 0.0}};
static marrowick_cf64 sosz[12];
static double xd[4 * M * N];
static double yd[4 * M * N + 8], zfd[32];

static const marrowick_layout interleaved = {N, 1}, zeroChannel = {1, 0}, zeroSample = {0, 1};
static const marrowick_layout folded = {1, M - 1}; /* sample M - 1 of channel 0 is sample 0 of channel 1 */
/* Spans that wrap the address space: a stride reaching below address 0, a buffer past the last address. */
static const marrowick_layout below = {-((ptrdiff_t)1 << 48), 1};
#define TOP ((void *)(uintptr_t)(UINTPTR_MAX - 7))

static marrowick_options given;
static const marrowick_options *opts(int padtype, ptrdiff_t padlen, int workers) {
    marrowick_options o = MARROWICK_OPTIONS_INIT;
    o.padtype = padtype;
    o.padlen = padlen;
    o.workers = workers;
    given = o;
    return &given;
}

static int lf(int k, size_t nb, size_t na, const void *xp, void *yp, const marrowick_layout *yl,
              const void *zip, void *zfp) {
    return marrowick_lfilter(k, b, nb, a, na, M, N, xp, NULL, yp, yl, zip, zfp, NULL);
}

static int row(int r) {
    switch (r) {
        case 0: return lf(0, 3, 3, x, y, NULL, NULL, zf);
        case 1: return lf(9, 3, 3, x, y, NULL, NULL, zf);
        case 2: return lf(MARROWICK_RR, 0, 3, x, y, NULL, NULL, zf);
        case 3: return lf(MARROWICK_RR, 3, 0, x, y, NULL, NULL, zf);
        case 4: return lf(MARROWICK_RR, (size_t)1 << 31, 3, x, y, NULL, NULL, zf);
        case 5: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, (size_t)1 << 31, 1, x, NULL, y, NULL, NULL, zf, NULL);
        case 6: return marrowick_lfilter(MARROWICK_RR, NULL, 3, a, 3, M, N, x, NULL, y, NULL, NULL, zf, NULL);
        case 7: return lf(MARROWICK_RR, 3, 3, NULL, y, NULL, NULL, zf);
        case 8: return lf(MARROWICK_RR, 3, 3, x, NULL, NULL, NULL, zf);
        case 9: return lf(MARROWICK_RR, 3, 3, x, y, &zeroChannel, NULL, zf);
        case 10: return lf(MARROWICK_RR, 3, 3, x, y, &zeroSample, NULL, zf);
        case 11: return lf(MARROWICK_RR, 3, 3, x, y, &folded, NULL, zf);
        case 12: return lf(MARROWICK_RR, 3, 3, x, x + 1, NULL, NULL, zf);        /* y overlaps x by all but one */
        case 13: return lf(MARROWICK_RR, 3, 3, x, x, &interleaved, NULL, zf);    /* same buffer, other layout */
        case 14: return lf(MARROWICK_RRZ, 3, 3, x, x, NULL, NULL, zf);           /* in place, types differ */
        case 15: return lf(MARROWICK_RR, 3, 3, x, y, NULL, NULL, y + M * N - 1); /* zf overlaps y */
        case 16: return lf(MARROWICK_RR, 3, 3, x, y, NULL, zf + 1, zf);          /* zf overlaps zi, not equal */
        case 17: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, NULL, zf, opts(MARROWICK_PAD_ODD, -1, 0));
        case 18: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, NULL, zf, opts(MARROWICK_PAD_ODD, -1, -2));
        case 19: return marrowick_sosfilt(MARROWICK_RR, sos, 0, M, N, x, NULL, y, NULL, NULL, zf, NULL);
        case 20: return marrowick_sosfilt(MARROWICK_RR, sos, 2, M, N, x, NULL, sos, NULL, NULL, zf, NULL);
        case 21: return marrowick_lfilter_zi(MARROWICK_RR, b, 3, a0, 3, steady);
        case 22: return marrowick_lfilter_zi(MARROWICK_RR, b, 3, pole, 2, steady);
        case 23: return marrowick_lfilter_zi(MARROWICK_RR, b, 3, a, 3, NULL);
        case 24: return marrowick_filtfilt(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, opts(4, -1, 1));
        case 25: return marrowick_filtfilt(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, 16, 1));
        case 26: return marrowick_filtfilt(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, -2, 1));
        case 27: return marrowick_filtfilt(MARROWICK_RRZ, b, 3, a, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, -1, 1));
        case 28: return marrowick_filtfilt(MARROWICK_RR, b, 3, a0, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, 3, 1));
        case 29: return marrowick_sosfiltfilt(MARROWICK_RR, sos, 2, 6, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, -1, 1));
        case 30: return marrowick_filter_set_state(made, zf, 3);
        case 31: return marrowick_filter_get_state(made, zf, 5);
        case 32: return marrowick_filter_process(NULL, M, x, NULL, y, NULL);
        case 33: return marrowick_filter_process(made, M, x, NULL, x + 4, NULL);
        case 34: return marrowick_filter_create(NULL, MARROWICK_RR, b, 3, a, 3, N, NULL);
        case 35: return marrowick_filter_clone(made, NULL);
        case 36: return marrowick_lfilter_zi(MARROWICK_RR, b, 1, a, 1, steady);
        case 37:
            return marrowick_filtfilt(MARROWICK_RR, b, 3, a, 3, 0, N, NULL, NULL, NULL, NULL, opts(MARROWICK_PAD_NONE, 0, 1));
        /* Spans wrapping the address space are refused, not followed. */
        case 38: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, &below, y, NULL, NULL, zf, NULL);
        case 39: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, TOP, NULL, y, NULL, NULL, zf, NULL);
        case 40: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, TOP, NULL, NULL, zf, NULL);
        case 41: return marrowick_sosfilt(MARROWICK_RR, sos, 2, M, N, x, NULL, y, NULL, NULL, TOP, NULL);
        case 42: return marrowick_lfilter(MARROWICK_RR, TOP, 3, a, 3, M, N, x, NULL, y, NULL, NULL, zf, NULL);
        /* Kinds from anywhere in the int range. */
        case 43: return lf(1000, 3, 3, x, y, NULL, NULL, zf);
        case 44: return lf(INT_MIN, 3, 3, x, y, NULL, NULL, zf);
        /* The documented order: the kind before the coefficients, the padding before the steady states,
         * overlap before workers; no sections is the package's sosShape. */
        case 45: return marrowick_filtfilt(MARROWICK_RRZ, b, 0, a, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, -1, 1));
        case 46: return marrowick_sosfiltfilt(MARROWICK_RRZ, NULL, 2, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, -1, 1));
        case 47: return marrowick_filtfilt(MARROWICK_RR, b, 3, a0, 3, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_ODD, 16, 1));
        case 48: return marrowick_filtfilt(MARROWICK_RR, b, 3, pole, 2, M, N, x, NULL, y, NULL, opts(MARROWICK_PAD_EVEN, 20, 1));
        case 49: return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, NULL, y + M * N - 1, opts(MARROWICK_PAD_ODD, -1, 0));
        case 50: return marrowick_sosfilt_zi(MARROWICK_RR, sos, 0, steady);
        case 51: return marrowick_filter_create_sos(&made2, MARROWICK_RR, sos, 0, N, NULL);
        /* Options of another size; start states. */
        case 52: {
            marrowick_options o = MARROWICK_OPTIONS_INIT;
            o.size = sizeof o + 8;
            return marrowick_lfilter(MARROWICK_RR, b, 3, a, 3, M, N, x, NULL, y, NULL, NULL, zf, &o);
        }
        case 53: return marrowick_lfilter_start_state(MARROWICK_RRZ, halves, 3, 3, N, x, 1, zf);
        case 54: return marrowick_lfilter_start_state(MARROWICK_RR, NULL, 3, 3, N, x, 1, zf);
        case 55: return marrowick_sosfilt_start_state(MARROWICK_RR, halves, 0, N, x, 1, zf);
        case 56: return marrowick_sosfilt_start_state(MARROWICK_RR, halves, 2, N, zf + 1, 1, zf);
        /* The double kinds: the same checks, with double items. */
        case 57: return marrowick_lfilter(MARROWICK_DRR, bd, 0, ad, 3, M, N, xd, NULL, yd, NULL, NULL, zfd, NULL);
        case 58: return marrowick_lfilter(MARROWICK_DRR, bd, 3, ad, 3, M, N, xd, NULL, xd + 1, NULL, NULL, zfd, NULL);
        case 59: return marrowick_lfilter(MARROWICK_DCR, bz, 3, bz, 3, M, N, xd, NULL, xd, NULL, NULL, zfd, NULL);
        case 60: /* zf's first double is y's last */
            return marrowick_lfilter(MARROWICK_DRR, bd, 3, ad, 3, M, N, xd, NULL, yd, NULL, NULL, yd + M * N - 1, NULL);
        case 61: /* y's last complex double is x's last */
            return marrowick_lfilter(MARROWICK_DCC, bz, 3, bz, 3, M, N, xd, NULL, xd + 2 * M * N - 2, NULL, NULL, zfd,
                                     NULL);
        case 62: return marrowick_sosfilt(MARROWICK_DCC, sosz, 2, M, N, xd, NULL, yd, NULL, NULL, TOP, NULL);
        case 63: return marrowick_lfilter(MARROWICK_DRR, bd, 3, ad, 3, M, N, TOP, NULL, yd, NULL, NULL, zfd, NULL);
        case 64: return marrowick_lfilter_zi(MARROWICK_DRR, bd, 3, a0d, 3, steady);
        case 65: return marrowick_lfilter_zi(MARROWICK_DCC, bz, 3, poleZ, 2, steady);
        case 66: /* the steady states' last pair is sos's last element */
            return marrowick_sosfilt_zi(MARROWICK_DCC, sosz, 2, (double *)sosz + 23);
        case 67: return marrowick_sosfilt_zi(MARROWICK_DRR, sosd, 2, steady);
        case 68: return marrowick_filtfilt(MARROWICK_DRR, bd, 3, ad, 3, M, N, xd, NULL, yd, NULL, opts(MARROWICK_PAD_ODD, 16, 1));
        case 69: return marrowick_sosfiltfilt(MARROWICK_DRR, sosd, 2, M, N, xd, NULL, yd, NULL, opts(MARROWICK_PAD_ODD, 3, 1));
        case 70: return marrowick_filtfilt(MARROWICK_DCR, bz, 3, poleZ, 2, M, N, xd, NULL, yd, NULL, NULL);
        case 71: /* the first samples' last double is the start state's last */
            return marrowick_lfilter_start_state(MARROWICK_DCR, halves, 3, 3, N, zfd + 7, 1, zfd);
        case 72: return marrowick_filter_create_sos(&made2, MARROWICK_DCC, sosz, 0, N, NULL);
        case 73: return marrowick_filter_process(madeDouble, M, xd, NULL, xd + 1, NULL);
        case 74: return marrowick_filter_get_state(madeDouble, zfd, 2 * N + 1);
        case 75: return marrowick_filter_process(madeDouble, M, xd, NULL, yd, &folded);
    }
    return -1;
}

/* Status expected of each row. */
static const int expected[] = {
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_EMPTY_COEFFICIENTS,
    MARROWICK_E_EMPTY_COEFFICIENTS,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_LAYOUT,
    MARROWICK_E_LAYOUT,
    MARROWICK_E_LAYOUT,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_BAD_WORKERS,
    MARROWICK_E_BAD_WORKERS,
    MARROWICK_E_SOS_SHAPE,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_ZERO_LEADING_COEFFICIENT,
    MARROWICK_E_NO_STEADY_STATE,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_PAD_TYPE,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_ZERO_LEADING_COEFFICIENT,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_ZI_SIZE,
    MARROWICK_E_ZI_SIZE,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_NO_STATE,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_SOS_SHAPE,
    MARROWICK_E_SOS_SHAPE,
    MARROWICK_E_OPTIONS,
    MARROWICK_E_BAD_KIND,
    MARROWICK_E_NULL_POINTER,
    MARROWICK_E_SOS_SHAPE,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_EMPTY_COEFFICIENTS,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_TOO_LARGE,
    MARROWICK_E_ZERO_LEADING_COEFFICIENT,
    MARROWICK_E_NO_STEADY_STATE,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_ZERO_LEADING_COEFFICIENT,
    MARROWICK_E_PAD_LENGTH,
    MARROWICK_E_ZERO_LEADING_COEFFICIENT,
    MARROWICK_E_NO_STEADY_STATE,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_SOS_SHAPE,
    MARROWICK_E_OVERLAP,
    MARROWICK_E_ZI_SIZE,
    MARROWICK_E_LAYOUT,
};

static int untouched(const void *p, size_t bytes) {
    const unsigned char *c = (const unsigned char *)p;
    size_t k;
    for (k = 0; k < bytes; ++k)
        if (c[k] != CANARY) return 0;
    return 1;
}

int main(void) {
    int r, failures = 0, rows = (int)(sizeof expected / sizeof expected[0]);
    unsigned char before[sizeof x], beforeD[sizeof xd], beforeSos[sizeof sosz];
    for (r = 0; r < 2 * M * N; ++r) x[r] = (float)(r % 7) - 3.0f;
    for (r = 0; r < 4 * M * N; ++r) xd[r] = (double)(r % 5) - 2.0;
    for (r = 0; r < 12; ++r) sosz[r].re = sosd[r];
    if (marrowick_filter_create(&made, MARROWICK_RR, b, 3, a, 3, N, NULL) != MARROWICK_OK) return 1;
    if (marrowick_filter_create(&madeDouble, MARROWICK_DRR, bd, 3, ad, 2, N, NULL) != MARROWICK_OK) return 1;
    memcpy(before, x, sizeof x);
    memcpy(beforeD, xd, sizeof xd);
    memcpy(beforeSos, sosz, sizeof sosz);
    for (r = 0; r < rows; ++r) {
        int status, clean;
        memset(y, CANARY, sizeof y);
        memset(zf, CANARY, sizeof zf);
        memset(steady, CANARY, sizeof steady);
        memset(yd, CANARY, sizeof yd);
        memset(zfd, CANARY, sizeof zfd);
        memcpy(zi, zf, sizeof zi);
        status = row(r);
        clean = untouched(y, sizeof y) && untouched(zf, sizeof zf) && untouched(steady, sizeof steady) &&
                untouched(yd, sizeof yd) && untouched(zfd, sizeof zfd);
        if (status != expected[r] || !clean || memcmp(before, x, sizeof x) != 0 ||
            memcmp(beforeD, xd, sizeof xd) != 0 || memcmp(beforeSos, sosz, sizeof sosz) != 0) {
            printf("row %d: status %d (%s), expected %d (%s), outputs %s\n", r, status, marrowick_status_id(status),
                   expected[r], marrowick_status_id(expected[r]), clean ? "untouched" : "WRITTEN");
            ++failures;
        }
    }
    /* A refused state size leaves the object's states as they were. */
    {
        float z[4], w[4] = {1.0f, 2.0f, 3.0f, 4.0f};
        if (marrowick_filter_set_state(made, w, 4) != MARROWICK_OK || marrowick_filter_set_state(made, x, 5) == 0 ||
            marrowick_filter_get_state(made, z, 4) != MARROWICK_OK || memcmp(z, w, sizeof z) != 0) {
            printf("state refusal changed the states\n");
            ++failures;
        }
    }
    /* The state sizes and a start state: steady states times each channel's first sample. */
    {
        const float first[4] = {2.0f, 0.0f, 4.0f, 0.0f}, want[8] = {1.0f, 0.5f, 2.0f, 1.0f, 0.25f, -1.0f, 0.5f, -2.0f};
        float z[8];
        if (marrowick_lfilter_state_size(3, 2, N) != 2 * N || marrowick_sosfilt_state_size(2, N) != 4 * N ||
            marrowick_lfilter_state_size(0, 2, N) != 0 ||
            marrowick_sosfilt_start_state(MARROWICK_RR, halves, 2, N, first, 2, z) != MARROWICK_OK ||
            memcmp(z, want, sizeof z) != 0) {
            printf("state sizes or start states differ\n");
            ++failures;
        }
    }
    /* The same start state in double precision, and a double one that is not rounded to single. */
    {
        const double first[4] = {2.0, 0.0, 4.0, 0.0}, want[8] = {1.0, 0.5, 2.0, 1.0, 0.25, -1.0, 0.5, -2.0};
        const double third = 1.0 / 3.0;
        double z[8];
        marrowick_cf64 zc[2];
        if (marrowick_sosfilt_start_state(MARROWICK_DRR, halves, 2, N, first, 2, z) != MARROWICK_OK ||
            memcmp(z, want, sizeof z) != 0 ||
            marrowick_lfilter_start_state(MARROWICK_DCR, halves, 2, 1, 1, &third, 1, zc) != MARROWICK_OK ||
            zc[0].re != 0.5 * third || zc[0].im != 0.25 * third) {
            printf("double start states differ\n");
            ++failures;
        }
    }
    /* The kinds of each precision, as every front picks them. */
    {
        static const int single[8] = {MARROWICK_RR, MARROWICK_RRZ, MARROWICK_RC, MARROWICK_RC,
                                      MARROWICK_CR, MARROWICK_CR,  MARROWICK_CC, MARROWICK_CC};
        static const int wide[8] = {MARROWICK_DRR, MARROWICK_DCR, MARROWICK_DCC, MARROWICK_DCC,
                                    MARROWICK_DCR, MARROWICK_DCR, MARROWICK_DCC, MARROWICK_DCC};
        for (r = 0; r < 8; ++r) {
            const int c = r >> 2 & 1, d = r >> 1 & 1, s = r & 1;
            if ((int)marrowick_kind_for_precision(0, c, d, s) != single[r] || (int)marrowick_kind_for(c, d, s) != single[r] ||
                (int)marrowick_kind_for_precision(1, c, d, s) != wide[r]) {
                printf("kind for (%d, %d, %d) differs\n", c, d, s);
                ++failures;
            }
        }
    }
    marrowick_filter_destroy(madeDouble);
    marrowick_filter_destroy(made);
    marrowick_filter_destroy(NULL);
    for (r = -2; r < 40; ++r) {
        const char *text = marrowick_strerror(r), *id = marrowick_status_id(r);
        if (!text || !id || strchr(text, '\n') || strchr(id, '\n') || (r > 0 && strncmp(id, "marrowick:", 10) != 0)) {
            printf("status %d: text or identifier missing\n", r);
            ++failures;
        }
    }
    {
        /* The path's name is one the header lists for this target. */
        const char *path = marrowick_path_name();
#if defined(__x86_64__)
        const int listed = !strcmp(path, "avx512") || !strcmp(path, "avx2") || !strcmp(path, "sse2");
#elif defined(__aarch64__)
        const int listed = !strcmp(path, "neon");
#else
        const int listed = !strcmp(path, "one-channel");
#endif
        if (!listed) {
            printf("path name %s not the target's\n", path);
            ++failures;
        }
    }
    printf("%d rows, %d failures\n", rows, failures);
    return failures != 0;
}
