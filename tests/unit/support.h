// Shared helpers of the unit tests: operands as plain vectors, a slow
// reference filter written from the per-kernel step rules, bit comparison,
// calling the built module through the host layer, and random cases.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host.h"
#include "kernels/record.h"
#include "load_module.h"
#include "marrowick/mex.h"

namespace ut {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline float p2(int e) { return std::ldexp(1.0f, e); }

struct C {
    float re, im;
};

// One host array as plain data. im is used only when cx is set.
struct Operand {
    std::vector<mwSize> dims;
    std::vector<float> re, im;
    bool cx = false;
    std::size_t count() const { return re.size(); }
    C at(std::size_t i) const { return {re[i], cx ? im[i] : 0.0f}; }
};

inline Operand real(std::vector<mwSize> dims, std::vector<float> re) {
    return {std::move(dims), std::move(re), {}, false};
}
inline Operand cplx(std::vector<mwSize> dims, std::vector<float> re, std::vector<float> im) {
    return {std::move(dims), std::move(re), std::move(im), true};
}
inline Operand col(std::vector<float> re) { return real({re.size(), 1}, re); }
inline Operand ccol(std::vector<float> re, std::vector<float> im) { return cplx({re.size(), 1}, re, im); }

// ---------------------------------------------------------------- reference
// The module's own dispatch table picks the kernel the reference follows.
using marrowick::chooseKernel;
using marrowick::Kernel;
using marrowick::kernelName;

struct Gain {
    C g;
    bool apply;
};
inline Gain realGainRef(float a0) {
    const double q = 1.0 / static_cast<double>(a0);
    return {{static_cast<float>(q), 0.0f}, !(q == 1.0)};
}
// The division the module documents: formed in double, each part rounded once.
inline Gain complexGainRef(C a0) {
    const double c = a0.re, d = a0.im, den = c * c + d * d;
    const C g{static_cast<float>((1.0 * c + 0.0 * d) / den), static_cast<float>((0.0 * c - 1.0 * d) / den)};
    return {g, !(g.im == 0.0f && !std::isnan(g.re) && g.re == 1.0f)};
}

// The reference recurrence. For each state element k the terms that exist are
// read off directly: a numerator term when k+1 < nb, the old neighbour when
// k+1 < L, a denominator term when k+1 < na; their combination fixes the order
// of operations. Real operands use only .re. Each complex operation below is
// rounded to single by plain float arithmetic; the all-real kernel works in
// double and rounds once per stored value.
inline void referenceKernel(Kernel kind, std::vector<C>& y, std::vector<C>& z, const std::vector<C>& b,
                            const std::vector<C>& a, const std::vector<C>& x, Gain gain, int nb, int na, int M, int N,
                            int L) {
    if (kind == Kernel::RR) {
        for (int j = 0; j < N; ++j) {
            for (int i = 0; i < M; ++i) {
                const double xi = x[j * M + i].re;
                float yi = L == 0 ? static_cast<float>(xi * b[0].re) : static_cast<float>(xi * b[0].re + z[j * L].re);
                if (gain.apply) yi = static_cast<float>(static_cast<double>(gain.g.re) * yi);
                y[j * M + i] = {yi, 0.0f};
                for (int k = 0; k < L; ++k) {
                    const bool hn = k + 1 < nb, hz = k + 1 < L, hd = k + 1 < na;
                    const double nv = hn ? b[k + 1].re * xi : 0.0;
                    const double zv = hz ? z[j * L + k + 1].re : 0.0;
                    const double dv = hd ? static_cast<double>(a[k + 1].re) * yi : 0.0;
                    double v;
                    if (hn && hz && hd) v = (nv + zv) - dv;
                    else if (hn && hz) v = nv + zv;
                    else if (hz && hd) v = zv - dv;
                    else if (hn && hd) v = nv - dv;
                    else if (hn) v = nv;
                    else v = 0.0 - dv;
                    z[j * L + k] = {static_cast<float>(v), 0.0f};
                }
            }
        }
        return;
    }
    auto add = [](C p, C q) { return C{p.re + q.re, p.im + q.im}; };
    auto sub = [](C p, C q) { return C{p.re - q.re, p.im - q.im}; };
    auto mul = [](C p, C q) {
        const float rr = p.re * q.re, ii = p.im * q.im, ri = p.re * q.im, ir = p.im * q.re;
        return C{rr - ii, ri + ir};
    };
    const bool realCoef = kind == Kernel::RC || kind == Kernel::RRZ;
    // Numerator term; realOnly marks the real product of KernelRRZ.
    struct Term {
        C v;
        bool realOnly;
    };
    auto num = [&](C bk, C xi) -> Term {
        switch (kind) {
            case Kernel::CC: return {mul(bk, xi), false};
            case Kernel::CR: return {{bk.re * xi.re, bk.im * xi.re}, false};
            case Kernel::RC: return {{bk.re * xi.re, bk.re * xi.im}, false};
            default: return {{bk.re * xi.re, 0.0f}, true};
        }
    };
    auto den = [&](C ak, C yi) { return realCoef ? C{ak.re * yi.re, ak.re * yi.im} : mul(ak, yi); };
    auto plus = [&](Term t, C zv) { return t.realOnly ? C{t.v.re + zv.re, zv.im} : add(t.v, zv); };
    auto minus = [&](Term t, C d) { return t.realOnly ? C{t.v.re - d.re, -d.im} : sub(t.v, d); };
    auto scaled = [&](C yi) {
        if (!gain.apply) return yi;
        return realCoef ? C{gain.g.re * yi.re, gain.g.re * yi.im} : mul(yi, gain.g);
    };
    for (int j = 0; j < N; ++j) {
        for (int i = 0; i < M; ++i) {
            const C xi = x[j * M + i];
            C* zc = L ? &z[j * L] : nullptr;
            const Term t0 = num(b[0], xi);
            const C yi = scaled(L == 0 ? t0.v : plus(t0, zc[0]));
            y[j * M + i] = yi;
            for (int k = 0; k < L; ++k) {
                const bool hn = k + 1 < nb, hz = k + 1 < L, hd = k + 1 < na;
                C v;
                if (hn && hz && hd) v = sub(plus(num(b[k + 1], xi), zc[k + 1]), den(a[k + 1], yi));
                else if (hn && hz) v = plus(num(b[k + 1], xi), zc[k + 1]);
                else if (hz && hd) v = sub(zc[k + 1], den(a[k + 1], yi));
                else if (hn && hd) v = minus(num(b[k + 1], xi), den(a[k + 1], yi));
                else if (hn) v = num(b[k + 1], xi).v;
                else v = sub(C{0.0f, 0.0f}, den(a[k + 1], yi));
                zc[k] = v;
            }
        }
    }
}

struct Outputs {
    Operand y, zf;
};

inline std::vector<C> widen(const Operand& o) {
    std::vector<C> v(o.count());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = o.at(i);
    return v;
}

inline mwSize tailProduct(const std::vector<mwSize>& d) {
    mwSize n = 1;
    for (std::size_t i = 1; i < d.size(); ++i) n *= d[i];
    return n;
}

// [y, zf] = marrowick(b, a, x, zi) computed by the reference.
inline Outputs referenceFilter(const Operand& b, const Operand& a, const Operand& x, const Operand& zi) {
    const bool coefCx = b.cx || a.cx;
    const Kernel kind = chooseKernel(coefCx, x.cx, zi.cx);
    const bool anyCx = coefCx || x.cx || zi.cx;
    const int nb = static_cast<int>(b.count()), na = static_cast<int>(a.count());
    const int M = static_cast<int>(x.dims[0]), N = static_cast<int>(tailProduct(x.dims));
    const int L = static_cast<int>(zi.dims[0]);
    std::vector<C> y(static_cast<std::size_t>(M) * N, C{0.0f, 0.0f}), z = widen(zi);
    const Gain g = coefCx ? complexGainRef(a.at(0)) : realGainRef(a.re[0]);
    referenceKernel(kind, y, z, widen(b), widen(a), widen(x), g, nb, na, M, N, L);
    Outputs out{{x.dims, {}, {}, anyCx}, {zi.dims, {}, {}, anyCx}};
    for (const C& v : y) {
        out.y.re.push_back(v.re);
        if (anyCx) out.y.im.push_back(v.im);
    }
    for (const C& v : z) {
        out.zf.re.push_back(v.re);
        if (anyCx) out.zf.im.push_back(v.im);
    }
    return out;
}

// ------------------------------------------------------------ comparisons
inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
// Bit equality; any NaN equals any NaN; zeroSignOpen lets +0 equal -0.
inline bool sameBits(float p, float q, bool zeroSignOpen = false) {
    if (std::isnan(p) && std::isnan(q)) return true;
    if (zeroSignOpen && p == 0.0f && q == 0.0f) return true;
    return bits(p) == bits(q);
}

inline std::string show(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", static_cast<double>(f), bits(f));
    return buf;
}

inline ::testing::AssertionResult sameFloats(const char* what, const std::vector<float>& got,
                                             const std::vector<float>& want, bool zeroSignOpen = false) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << what << ": " << got.size() << " elements, expected " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!sameBits(got[i], want[i], zeroSignOpen)) {
            return ::testing::AssertionFailure()
                   << what << "[" << i << "] = " << show(got[i]) << ", expected " << show(want[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameOperand(const char* what, const Operand& got, const Operand& want,
                                              bool zeroSignOpen = false) {
    if (got.dims != want.dims) return ::testing::AssertionFailure() << what << ": dimensions differ";
    if (got.cx != want.cx) {
        return ::testing::AssertionFailure() << what << ": complex is " << got.cx << ", expected " << want.cx;
    }
    const std::string re = std::string(what) + ".re", im = std::string(what) + ".im";
    auto r = sameFloats(re.c_str(), got.re, want.re, zeroSignOpen);
    if (!r || !got.cx) return r;
    return sameFloats(im.c_str(), got.im, want.im, zeroSignOpen);
}

// --------------------------------------------------------- host and module
inline mxhost::ArrayPtr toHost(const Operand& o) {
    return o.cx ? mxhost::makeComplex(o.dims, o.re, o.im) : mxhost::makeReal(o.dims, o.re);
}

inline Operand fromHost(const mxArray* array) {
    Operand o;
    const mwSize* d = mxGetDimensions(array);
    o.dims.assign(d, d + mxGetNumberOfDimensions(array));
    o.cx = mxIsComplex(array);
    const std::size_t n = mxGetNumberOfElements(array);
    const float* re = static_cast<const float*>(mxGetData(array));
    o.re.assign(re, re + n);
    if (o.cx) {
        const float* im = static_cast<const float*>(mxGetImagData(array));
        o.im.assign(im, im + n);
    }
    return o;
}

inline MexFunction moduleEntry() { return loadMarrowickModule(); }

struct Outcome {
    bool ok = false;
    std::string identifier, message;
    std::vector<Operand> outputs;
};

// Calls the module with host copies of the operands (any number of them,
// null arrays included) and checks that the inputs come back untouched.
inline Outcome callModule(const std::vector<Operand>& inputs, int nlhs = 2) {
    Outcome result;
    MexFunction fn = moduleEntry();
    if (fn == nullptr) {
        ADD_FAILURE() << "cannot load " << MARROWICK_MODULE_PATH;
        return result;
    }
    std::vector<mxhost::ArrayPtr> arrays;
    std::vector<const mxArray*> raw;
    for (const Operand& o : inputs) {
        arrays.push_back(toHost(o));
        raw.push_back(arrays.back().get());
    }
    mxhost::CallResult r = mxhost::callModule(fn, nlhs, raw);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_TRUE(sameOperand("input", fromHost(arrays[i].get()), inputs[i])) << "input " << i << " was modified";
    }
    result.ok = r.ok;
    result.identifier = r.identifier;
    result.message = r.message;
    for (const auto& out : r.outputs) result.outputs.push_back(out ? fromHost(out.get()) : Operand{});
    return result;
}

// Runs [y, zf] = marrowick(b, a, x, zi) and fails the test if the call fails.
inline Outputs filter(const Operand& b, const Operand& a, const Operand& x, const Operand& zi) {
    Outcome r = callModule({b, a, x, zi});
    EXPECT_TRUE(r.ok) << r.identifier << ": " << r.message;
    if (!r.ok || r.outputs.size() < 2) return {};
    return {r.outputs[0], r.outputs[1]};
}

// ------------------------------------------------------------ random cases
struct Rng {
    std::mt19937 gen;
    explicit Rng(unsigned seed) : gen(seed) {}
    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen) < p; }
    // Mostly ordinary values, sometimes exact small ones, sometimes specials.
    float value(double specialRate) {
        static const float specials[] = {0.0f, -0.0f, kInf, -kInf, kNaN, 1e-40f, -3e38f, 3e38f, p2(-126)};
        if (chance(specialRate)) return specials[range(0, 8)];
        if (chance(0.2)) return static_cast<float>(range(-8, 8)) / 4.0f;
        // Wide magnitudes, so that sums in double round differently by order.
        if (chance(0.1)) return std::ldexp(std::uniform_real_distribution<float>(-1.5f, 1.5f)(gen), range(-70, 70));
        return std::uniform_real_distribution<float>(-1.5f, 1.5f)(gen);
    }
    std::vector<float> values(std::size_t n, double specialRate) {
        std::vector<float> v(n);
        for (float& f : v) f = value(specialRate);
        return v;
    }
    Operand operand(std::vector<mwSize> dims, bool cx, double specialRate) {
        mwSize n = 1;
        for (mwSize d : dims) n *= d;
        return cx ? cplx(dims, values(n, specialRate), values(n, specialRate)) : real(dims, values(n, specialRate));
    }
};

struct Case {
    Operand b, a, x, zi;
};

// A random call of the given complexities and sizes; L = 0 takes the
// zero-state path. a[0] is drawn from the gain edge values.
inline Case randomCase(Rng& rng, bool bCx, bool aCx, bool xCx, bool ziCx, int nb, int na, bool zeroState, int M,
                       const std::vector<mwSize>& channelDims, double specialRate) {
    static const float realA0[] = {1.0f, -1.0f, 2.0f, 0.5f, 0.0f, -0.0f, kInf, kNaN, p2(-130), 3.0f, 0.75f};
    static const C complexA0[] = {{1.0f, 0.0f}, {1.0f, -0.0f}, {-1.0f, 0.0f}, {1.0f, p2(-30)}, {0.5f, 0.5f},
                                  {0.0f, 1.0f}, {0.0f, 0.0f},  {kNaN, 0.0f},  {2.0f, -0.0f},   {0.75f, -1.25f}};
    Case c;
    c.b = rng.operand({static_cast<mwSize>(nb), 1}, bCx, specialRate);
    c.a = rng.operand({1, static_cast<mwSize>(na)}, aCx, specialRate);
    if (rng.chance(0.85)) {
        if (aCx) {
            const C v = complexA0[rng.range(0, 9)];
            c.a.re[0] = v.re;
            c.a.im[0] = v.im;
        } else {
            c.a.re[0] = realA0[rng.range(0, 10)];
        }
    }
    std::vector<mwSize> xd{static_cast<mwSize>(M)};
    xd.insert(xd.end(), channelDims.begin(), channelDims.end());
    c.x = rng.operand(xd, xCx, specialRate);
    const mwSize L = zeroState ? 0 : static_cast<mwSize>(std::max(nb, na) - 1);
    c.zi = rng.operand({L, tailProduct(xd)}, ziCx, specialRate);
    return c;
}

}  // namespace ut
