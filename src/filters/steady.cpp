// The steady states of a unit step, solved in double precision by a fixed
// sequence of operations, so that they are the same on every machine.
#include <cmath>
#include <vector>

#include "filters.h"
#include "marrowick/complex_ops.h"

namespace marrowick::filters {

double exactSum(const double* v, std::size_t n) {
    bool nan = false, plusInf = false, minusInf = false;
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isnan(v[k])) nan = true;
        else if (std::isinf(v[k])) (v[k] > 0 ? plusInf : minusInf) = true;
    }
    if (nan || (plusInf && minusInf)) return std::nan("");
    if (plusInf) return HUGE_VAL;
    if (minusInf) return -HUGE_VAL;
    // Exact partial sums, non-overlapping and in increasing magnitude; each
    // new value is added through them with error-free additions.
    std::vector<double> p;
    for (std::size_t k = 0; k < n; ++k) {
        double x = v[k];
        std::size_t i = 0;
        for (std::size_t j = 0; j < p.size(); ++j) {
            double y = p[j];
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) p[i++] = lo;
            x = hi;
        }
        p.resize(i);
        if (x != 0.0) p.push_back(x);
    }
    // From the largest partial down, until the sum becomes inexact; then
    // round half to even across the partials left.
    double hi = 0.0;
    std::size_t m = p.size();
    if (m > 0) {
        double lo = 0.0;
        hi = p[--m];
        while (m > 0) {
            const double x = hi;
            const double y = p[--m];
            hi = x + y;
            lo = y - (hi - x);
            if (lo != 0.0) break;
        }
        if (m > 0 && ((lo < 0.0 && p[m - 1] < 0.0) || (lo > 0.0 && p[m - 1] > 0.0))) {
            const double y = lo * 2.0;
            const double x = hi + y;
            if (y == x - hi) hi = x;
        }
    }
    return hi;
}

namespace {

// The plain quotient: neither overflows nor underflows for sums of
// single-precision values (for double-precision ones, only beyond about
// 1e150 in magnitude).
ComplexDouble quotient(ComplexDouble p, ComplexDouble q) {
    const double d = q.re * q.re + q.im * q.im;
    return ComplexDouble{(p.re * q.re + p.im * q.im) / d, (p.im * q.re - p.re * q.im) / d};
}

ComplexDouble product(ComplexDouble p, ComplexDouble q) {
    return ComplexDouble{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

// Coefficients held exactly in double: n values, zeros past the given ones.
struct Wide {
    std::vector<double> re, im;
};
Wide widen(bool complex, const void* c, int32_t count, int32_t n, bool doublePrecision) {
    Wide w{std::vector<double>(static_cast<std::size_t>(n), 0.0),
           std::vector<double>(static_cast<std::size_t>(n), 0.0)};
    for (int32_t k = 0; k < count; ++k) {
        if (doublePrecision && complex) {
            const ComplexDouble v = static_cast<const ComplexDouble*>(c)[k];
            w.re[k] = v.re;
            w.im[k] = v.im;
        } else if (doublePrecision) {
            w.re[k] = static_cast<const double*>(c)[k];
        } else if (complex) {
            const ComplexSingle v = static_cast<const ComplexSingle*>(c)[k];
            w.re[k] = v.re;
            w.im[k] = v.im;
        } else {
            w.re[k] = static_cast<const float*>(c)[k];
        }
    }
    return w;
}

}  // namespace

Result steadyState(bool complex, const void* b, int32_t nb, const void* a, int32_t na, void* z, ComplexDouble* h,
                   bool doublePrecision) {
    const int32_t n = nb > na ? nb : na;
    const Wide wb = widen(complex, b, nb, n, doublePrecision), wa = widen(complex, a, na, n, doublePrecision);
    if (wa.re[0] == 0.0 && wa.im[0] == 0.0) return Result{Status::ZeroLeadingCoefficient, 0};
    const double sar = exactSum(wa.re.data(), static_cast<std::size_t>(na));
    const double sbr = exactSum(wb.re.data(), static_cast<std::size_t>(nb));
    if (!complex) {
        if (sar == 0.0) return Result{Status::NoSteadyState, 0};
        const double g = sbr / sar;
        double* out = static_cast<double*>(z);
        // state k = the sum over j > k of (b[j] - a[j] * H), from the last.
        for (int32_t k = n - 2; k >= 0; --k) {
            const double term = wb.re[k + 1] - wa.re[k + 1] * g;
            out[k] = k == n - 2 ? term : out[k + 1] + term;
        }
        // The scale of the filter divided by a[0], once all are summed.
        if (doublePrecision)
            for (int32_t k = 0; k < n - 1; ++k) out[k] = out[k] / wa.re[0];
        if (h) *h = ComplexDouble{g, 0.0};
        return Result{Status::Ok, 0};
    }
    const ComplexDouble sa{sar, exactSum(wa.im.data(), static_cast<std::size_t>(na))};
    const ComplexDouble sb{sbr, exactSum(wb.im.data(), static_cast<std::size_t>(nb))};
    if (sa.re == 0.0 && sa.im == 0.0) return Result{Status::NoSteadyState, 0};
    const ComplexDouble g = quotient(sb, sa);
    ComplexDouble* out = static_cast<ComplexDouble*>(z);
    for (int32_t k = n - 2; k >= 0; --k) {
        const double re = wb.re[k + 1] - (wa.re[k + 1] * g.re - wa.im[k + 1] * g.im);
        const double im = wb.im[k + 1] - (wa.re[k + 1] * g.im + wa.im[k + 1] * g.re);
        out[k] = k == n - 2 ? ComplexDouble{re, im} : ComplexDouble{out[k + 1].re + re, out[k + 1].im + im};
    }
    if (doublePrecision)
        for (int32_t k = 0; k < n - 1; ++k) out[k] = quotient(out[k], ComplexDouble{wa.re[0], wa.im[0]});
    if (h) *h = g;
    return Result{Status::Ok, 0};
}

Result sectionsSteadyState(bool complex, const void* sos, int32_t nSections, void* zi, bool doublePrecision) {
    // The product of the gains at DC so far starts from a real 1.
    ComplexDouble scale{1.0, 0.0};
    double realScale = 1.0;
    const std::size_t item = (complex ? 2 : 1) * (doublePrecision ? sizeof(double) : sizeof(float));
    for (int32_t s = 0; s < nSections; ++s) {
        const char* row = static_cast<const char*>(sos) + 6 * item * static_cast<std::size_t>(s);
        if (!complex) {
            double z[2];
            ComplexDouble g;
            const Result r = steadyState(false, row, 3, row + 3 * item, 3, z, &g, doublePrecision);
            if (r.status != Status::Ok) return Result{r.status, s};
            double* out = static_cast<double*>(zi) + 2 * s;
            out[0] = realScale * z[0];
            out[1] = realScale * z[1];
            realScale = realScale * g.re;
        } else {
            ComplexDouble z[2], g;
            const Result r = steadyState(true, row, 3, row + 3 * item, 3, z, &g, doublePrecision);
            if (r.status != Status::Ok) return Result{r.status, s};
            ComplexDouble* out = static_cast<ComplexDouble*>(zi) + 2 * s;
            for (int k = 0; k < 2; ++k) out[k] = product(scale, z[k]);
            scale = product(scale, g);
        }
    }
    return Result{Status::Ok, 0};
}

int64_t defaultPadLength(const Coefficients& c, bool complex) {
    if (!c.sections) return 3 * static_cast<int64_t>(c.nb > c.na ? c.nb : c.na);
    int64_t b2 = 0, a2 = 0;
    for (int32_t s = 0; s < c.nSections; ++s) {
        if (c.doublePrecision && complex) {
            const ComplexDouble* row = static_cast<const ComplexDouble*>(c.sos) + 6 * static_cast<std::ptrdiff_t>(s);
            b2 += row[2].re == 0.0 && row[2].im == 0.0;
            a2 += row[5].re == 0.0 && row[5].im == 0.0;
        } else if (c.doublePrecision) {
            const double* row = static_cast<const double*>(c.sos) + 6 * static_cast<std::ptrdiff_t>(s);
            b2 += row[2] == 0.0;
            a2 += row[5] == 0.0;
        } else if (complex) {
            const ComplexSingle* row = static_cast<const ComplexSingle*>(c.sos) + 6 * static_cast<std::ptrdiff_t>(s);
            b2 += row[2].re == 0.0f && row[2].im == 0.0f;
            a2 += row[5].re == 0.0f && row[5].im == 0.0f;
        } else {
            const float* row = static_cast<const float*>(c.sos) + 6 * static_cast<std::ptrdiff_t>(s);
            b2 += row[2] == 0.0f;
            a2 += row[5] == 0.0f;
        }
    }
    return 3 * (2 * static_cast<int64_t>(c.nSections) + 1 - (b2 < a2 ? b2 : a2));
}

}  // namespace marrowick::filters
