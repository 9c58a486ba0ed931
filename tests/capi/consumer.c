/* A program that sees only the installed library: it reads calls from stdin and writes their results to
 * stdout, every float as the hex of its bits, so that a script can compare them with the Python package's
 * bit for bit. Built as C99 (through pkg-config) and as C++ (through find_package).
 *
 * Input, whitespace-separated, one call after another:
 *   lfilter     kind nb na M N xs xc ys yc xlen ylen has_zi workers pieces inplace  b a x [zi]
 *   sosfilt     kind S M N xs xc ys yc xlen ylen has_zi workers pieces inplace  sos x [zi]
 *   stream      kind nb na M N xs xc ys yc xlen ylen has_zi 1 pieces 0  b a x [zi]
 *   streamsos   kind S M N xs xc ys yc xlen ylen has_zi 1 pieces 0  sos x [zi]
 *   filtfilt    kind nb na M N xs xc ys yc xlen ylen padtype padlen workers  b a x
 *   sosfiltfilt kind S M N xs xc ys yc xlen ylen padtype padlen workers  sos x
 *   lfilter_zi  kind nb na  b a
 *   sosfilt_zi  kind S  sos
 * Output per call: the status, then the output buffer (y, or the steady states as 64-bit words) and, for the
 * filters with states, the final states. Buffers travel as 32-bit words, two to a double (in memory order),
 * so the program needs only each kind's words per element. The streams are processed in pieces, the object cloned after the
 * first piece and the clone continuing (the original destroyed), so a stream equals the one-shot. */
#include <marrowick.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static long readLong(void) {
    long v;
    if (scanf("%ld", &v) != 1) {
        fprintf(stderr, "consumer: bad input\n");
        exit(2);
    }
    return v;
}

/* n words of 32 bits, as hex. */
static uint32_t *readWords(size_t n) {
    uint32_t *w = (uint32_t *)calloc(n + 1, sizeof *w);
    size_t k;
    if (!w) exit(3);
    for (k = 0; k < n; ++k) {
        unsigned long v;
        if (scanf("%lx", &v) != 1) {
            fprintf(stderr, "consumer: bad word\n");
            exit(2);
        }
        w[k] = (uint32_t)v;
    }
    return w;
}

static void writeWords(const uint32_t *w, size_t n) {
    size_t k;
    for (k = 0; k < n; ++k) printf(" %08lx", (unsigned long)w[k]);
    printf("\n");
}

static void writeDoubles(const double *d, size_t n) {
    size_t k;
    for (k = 0; k < n; ++k) {
        uint64_t v;
        memcpy(&v, &d[k], sizeof v);
        printf(" %016llx", (unsigned long long)v);
    }
    printf("\n");
}

static int isDouble(int kind) { return kind == MARROWICK_DRR || kind == MARROWICK_DCC || kind == MARROWICK_DCR; }
static int coefComplex(int kind) {
    return kind == MARROWICK_CC || kind == MARROWICK_CR || kind == MARROWICK_DCC || kind == MARROWICK_DCR;
}
/* 32-bit words per element: 1 for a float, 2 for a complex float or a double, 4 for a complex double. */
static int wordsOf(int kind, int complex) { return (complex ? 2 : 1) * (isDouble(kind) ? 2 : 1); }
static int coefWords(int kind) { return wordsOf(kind, coefComplex(kind)); }
static int inWords(int kind) {
    return wordsOf(kind, kind == MARROWICK_CC || kind == MARROWICK_RC || kind == MARROWICK_DCC);
}
static int outWords(int kind) { return wordsOf(kind, kind != MARROWICK_RR && kind != MARROWICK_DRR); }

struct Call {
    int kind, sections, has_zi, workers, pieces, inplace, padtype;
    long nb, na, S, M, N, xlen, ylen, padlen;
    marrowick_layout xl, yl;
    uint32_t *coef1, *coef2, *x, *zi;
};

static void readSignal(struct Call *c) {
    c->M = readLong();
    c->N = readLong();
    c->xl.sample = readLong();
    c->xl.channel = readLong();
    c->yl.sample = readLong();
    c->yl.channel = readLong();
    c->xlen = readLong();
    c->ylen = readLong();
}

static size_t stateCount(const struct Call *c) {
    return c->sections ? marrowick_sosfilt_state_size((size_t)c->S, (size_t)c->N)
                       : marrowick_lfilter_state_size((size_t)c->nb, (size_t)c->na, (size_t)c->N);
}

static void readCoefficients(struct Call *c) {
    int cw = coefWords(c->kind);
    if (c->sections) {
        c->coef1 = readWords((size_t)(6 * c->S * cw));
    } else {
        c->coef1 = readWords((size_t)(c->nb * cw));
        c->coef2 = readWords((size_t)(c->na * cw));
    }
}

/* The one-shots and the streams: in `pieces` pieces along time, states carried from one to the next. */
static void runFilter(struct Call *c, int stream) {
    size_t ns = stateCount(c), sw = (size_t)outWords(c->kind);
    uint32_t *y, *z = (uint32_t *)calloc(ns * sw + 1, sizeof *z);
    marrowick_filter *f = NULL;
    marrowick_options o = MARROWICK_OPTIONS_INIT;
    long i0 = 0, p;
    int status = MARROWICK_OK;
    if (!z) exit(3);
    readCoefficients(c);
    c->x = readWords((size_t)(c->xlen * inWords(c->kind)));
    c->zi = c->has_zi ? readWords(ns * sw) : NULL;
    if (c->inplace) {
        y = c->x;
    } else {
        size_t k, n = (size_t)c->ylen * (size_t)outWords(c->kind);
        y = (uint32_t *)malloc((n + 1) * sizeof *y);
        if (!y) exit(3);
        for (k = 0; k < n; ++k) y[k] = 0xdeadbeefu;
    }
    o.workers = c->workers;
    if (stream) {
        status = c->sections ? marrowick_filter_create_sos(&f, (marrowick_kind)c->kind, c->coef1, (size_t)c->S,
                                                           (size_t)c->N, c->zi)
                             : marrowick_filter_create(&f, (marrowick_kind)c->kind, c->coef1, (size_t)c->nb, c->coef2,
                                                       (size_t)c->na, (size_t)c->N, c->zi);
    } else if (c->has_zi) {
        memcpy(z, c->zi, ns * sw * sizeof *z);
    }
    for (p = 0; p < c->pieces && status == MARROWICK_OK; ++p) {
        long i1 = c->M * (p + 1) / c->pieces, m = i1 - i0;
        const uint32_t *xp = c->x + i0 * c->xl.sample * inWords(c->kind);
        uint32_t *yp = y + i0 * c->yl.sample * outWords(c->kind);
        if (stream) {
            status = marrowick_filter_process(f, (size_t)m, xp, &c->xl, yp, &c->yl);
            if (p == 0 && status == MARROWICK_OK) {
                marrowick_filter *g = NULL;
                status = marrowick_filter_clone(f, &g);
                marrowick_filter_destroy(f);
                f = g;
            }
        } else if (c->sections) {
            status = marrowick_sosfilt((marrowick_kind)c->kind, c->coef1, (size_t)c->S, (size_t)m, (size_t)c->N, xp,
                                       &c->xl, yp, &c->yl, z, z, &o);
        } else {
            status = marrowick_lfilter((marrowick_kind)c->kind, c->coef1, (size_t)c->nb, c->coef2, (size_t)c->na,
                                       (size_t)m, (size_t)c->N, xp, &c->xl, yp, &c->yl, z, z, &o);
        }
        i0 = i1;
    }
    if (stream && status == MARROWICK_OK) {
        if (marrowick_filter_state_size(f) != ns || marrowick_filter_kind(f) != c->kind) status = -1;
        else status = marrowick_filter_get_state(f, z, ns);
    }
    marrowick_filter_destroy(f);
    printf("%d\n", status);
    writeWords(y, (size_t)c->ylen * (size_t)outWords(c->kind));
    writeWords(z, ns * sw);
    if (!c->inplace) free(y);
    free(z);
}

static void runZeroPhase(struct Call *c) {
    size_t k, n = (size_t)c->ylen * (size_t)outWords(c->kind);
    uint32_t *y = (uint32_t *)malloc((n + 1) * sizeof *y);
    int status;
    marrowick_options o = MARROWICK_OPTIONS_INIT;
    if (!y) exit(3);
    for (k = 0; k < n; ++k) y[k] = 0xdeadbeefu;
    o.workers = c->workers;
    o.padtype = c->padtype;
    o.padlen = (ptrdiff_t)c->padlen;
    readCoefficients(c);
    c->x = readWords((size_t)(c->xlen * inWords(c->kind)));
    if (c->sections)
        status = marrowick_sosfiltfilt((marrowick_kind)c->kind, c->coef1, (size_t)c->S, (size_t)c->M, (size_t)c->N,
                                       c->x, &c->xl, y, &c->yl, &o);
    else
        status =
            marrowick_filtfilt((marrowick_kind)c->kind, c->coef1, (size_t)c->nb, c->coef2, (size_t)c->na, (size_t)c->M,
                               (size_t)c->N, c->x, &c->xl, y, &c->yl, &o);
    printf("%d\n", status);
    writeWords(y, n);
    free(y);
}

static void runSteady(struct Call *c) {
    size_t n = c->sections ? (size_t)(2 * c->S) : (size_t)((c->nb > c->na ? c->nb : c->na) - 1);
    double *z;
    int status;
    n *= (size_t)(coefComplex(c->kind) ? 2 : 1);
    z = (double *)calloc(n + 1, sizeof *z);
    if (!z) exit(3);
    readCoefficients(c);
    if (c->sections) status = marrowick_sosfilt_zi((marrowick_kind)c->kind, c->coef1, (size_t)c->S, z);
    else status = marrowick_lfilter_zi((marrowick_kind)c->kind, c->coef1, (size_t)c->nb, c->coef2, (size_t)c->na, z);
    printf("%d\n", status);
    writeDoubles(z, n);
    free(z);
}

int main(void) {
    char op[32];
    if (marrowick_version_number() >> 16 != MARROWICK_VERSION_MAJOR ||
        strcmp(marrowick_version(), MARROWICK_VERSION_STRING) != 0) {
        fprintf(stderr, "consumer: header %s, library %s\n", MARROWICK_VERSION_STRING, marrowick_version());
        return 1;
    }
    printf("version %s %s\n", marrowick_version(), marrowick_path_name());
    while (scanf("%31s", op) == 1) {
        struct Call c;
        memset(&c, 0, sizeof c);
        c.kind = (int)readLong();
        c.sections = strstr(op, "sos") != NULL;
        if (strcmp(op, "lfilter_zi") == 0 || strcmp(op, "sosfilt_zi") == 0) {
            if (c.sections) c.S = readLong();
            else {
                c.nb = readLong();
                c.na = readLong();
            }
            runSteady(&c);
        } else {
            if (c.sections) c.S = readLong();
            else {
                c.nb = readLong();
                c.na = readLong();
            }
            readSignal(&c);
            if (strstr(op, "filtfilt")) {
                c.padtype = (int)readLong();
                c.padlen = readLong();
                c.workers = (int)readLong();
                runZeroPhase(&c);
            } else {
                c.has_zi = (int)readLong();
                c.workers = (int)readLong();
                c.pieces = (int)readLong();
                c.inplace = (int)readLong();
                runFilter(&c, strncmp(op, "stream", 6) == 0);
            }
        }
        free(c.coef1);
        free(c.coef2);
        free(c.x);
        free(c.zi);
        fflush(stdout);
    }
    return 0;
}
