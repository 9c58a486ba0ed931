#include "workloads.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>

#include "design.h"
#include "marrowick/mex.h"

namespace bench {

namespace {

using cd = std::complex<double>;
using design::butterworth;

// Windowed-sinc (Hamming) low-pass FIR.
std::vector<double> firLowpass(int taps, double cutoff) {
    std::vector<double> h(static_cast<std::size_t>(taps));
    double sum = 0.0;
    for (int n = 0; n < taps; ++n) {
        const double t = n - (taps - 1) / 2.0;
        const double sinc = (t == 0.0) ? cutoff : std::sin(M_PI * cutoff * t) / (M_PI * t);
        h[static_cast<std::size_t>(n)] = sinc * (0.54 - 0.46 * std::cos(2.0 * M_PI * n / (taps - 1)));
        sum += h[static_cast<std::size_t>(n)];
    }
    for (double& v : h) v /= sum;
    return h;
}

mxhost::ArrayPtr column(const std::vector<std::complex<float>>& v, bool complex) {
    std::vector<float> re, im;
    for (const auto& c : v) {
        re.push_back(c.real());
        im.push_back(c.imag());
    }
    const std::vector<mwSize> dims{static_cast<mwSize>(v.size()), 1};
    return complex ? mxhost::makeComplex(dims, re, im) : mxhost::makeReal(dims, re);
}

mxhost::ArrayPtr noise(std::mt19937& rng, mwSize rows, mwSize cols, bool complex) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> re(rows * cols), im;
    for (float& f : re) f = u(rng);
    if (complex) {
        im.resize(re.size());
        for (float& f : im) f = u(rng);
        return mxhost::makeComplex({rows, cols}, re, im);
    }
    return mxhost::makeReal({rows, cols}, re);
}

}  // namespace

const std::vector<Workload>& workloads() {
    static const std::vector<Workload> all = {
        {"W1", 1, 1 << 22, 3, 3, false, false, false, 0},     {"W2", 256, 1 << 16, 5, 5, false, false, false, 0},
        {"W3", 16, 1 << 18, 11, 11, false, false, false, 0},  {"W4", 8, 1 << 18, 64, 1, false, false, false, 0},
        {"W5", 8, 1 << 20, 3, 3, true, true, false, 0},       {"W6", 65536, 64, 3, 3, false, false, false, 0},
        {"W7", 1, 1, 3, 3, false, false, false, 1000000},     {"W2_CR", 256, 1 << 16, 5, 5, true, false, false, 0},
        {"W2_RC", 256, 1 << 16, 5, 5, false, true, false, 0}, {"W2_RRZ", 256, 1 << 16, 5, 5, false, false, true, 0},
    };
    return all;
}

const Workload* findWorkload(const std::string& name) {
    for (const Workload& w : workloads())
        if (w.name == name) return &w;
    return nullptr;
}

Arrays makeArrays(const Workload& w) {
    std::vector<double> bd, ad;
    if (w.na == 1) {
        bd = firLowpass(w.nb, 0.25);
        ad = {1.0};
    } else {
        butterworth(w.nb - 1, 0.2, bd, ad);
    }
    // Complex coefficients: the same response shifted up in frequency, which
    // keeps the filter stable and a[0] = 1.
    const double shift = w.complexCoef ? 0.3 * M_PI : 0.0;
    std::vector<std::complex<float>> b, a;
    for (std::size_t k = 0; k < bd.size(); ++k) b.emplace_back(std::polar(bd[k], shift * k));
    for (std::size_t k = 0; k < ad.size(); ++k) a.emplace_back(std::polar(ad[k], shift * k));

    std::mt19937 rng(12345);
    Arrays out;
    out.b = column(b, w.complexCoef);
    out.a = column(a, w.complexCoef);
    out.x = noise(rng, static_cast<mwSize>(w.samples), static_cast<mwSize>(w.channels), w.complexData);
    const mwSize L = static_cast<mwSize>(std::max(w.nb, w.na) - 1);

    // zi: the state after a previous piece of 256 samples, from rest. For a
    // complex state over real b, a and x (KernelRRZ), that real state gets
    // imaginary parts of its own, as a previous complex piece would leave.
    mxhost::ArrayPtr piece = noise(rng, 256, static_cast<mwSize>(w.channels), w.complexData);
    mxhost::ArrayPtr rest = mxhost::makeArray({L, static_cast<mwSize>(w.channels)});
    mxhost::CallResult r = mxhost::callModule(moduleEntry(), 2, {out.b.get(), out.a.get(), piece.get(), rest.get()});
    out.zi = std::move(r.outputs[1]);
    if (w.complexState) {
        const mwSize n = mxGetNumberOfElements(out.zi.get());
        const float* re0 = static_cast<const float*>(mxGetData(out.zi.get()));
        std::vector<float> re(re0, re0 + n), im(n);
        for (mwSize i = 0; i < n; ++i) im[i] = 0.5f * re[(i + 1) % n];
        out.zi = mxhost::makeComplex({L, static_cast<mwSize>(w.channels)}, re, im);
    }
    return out;
}

KernelBuffers::KernelBuffers(const Workload& w, bool interleaved) : call{} {
    using marrowick::Kernel;
    Arrays arr = makeArrays(w);
    const int32_t M = w.samples, N = w.channels;
    const int32_t L = static_cast<int32_t>(mxGetM(arr.zi.get()));
    const Kernel kernel = marrowick::chooseKernel(w.complexCoef, w.complexData, w.complexState);
    const bool cxCoef = kernel == Kernel::CC || kernel == Kernel::CR;
    const bool cxIn = kernel == Kernel::CC || kernel == Kernel::RC;
    const bool cxOut = kernel != Kernel::RR;
    // Operands as floats, complex ones interleaved.
    auto floats = [](const mxArray* m, bool cx) {
        const std::size_t n = mxGetNumberOfElements(m);
        const float* re = static_cast<const float*>(mxGetData(m));
        const float* im = mxIsComplex(m) ? static_cast<const float*>(mxGetImagData(m)) : nullptr;
        std::vector<float> v;
        for (std::size_t i = 0; i < n; ++i) {
            v.push_back(re[i]);
            if (cx) v.push_back(im != nullptr ? im[i] : 0.0f);
        }
        return v;
    };
    b = floats(arr.b.get(), cxCoef);
    a = floats(arr.a.get(), cxCoef);
    x = floats(arr.x.get(), cxIn);
    z = floats(arr.zi.get(), cxOut);
    const std::size_t fin = cxIn ? 2 : 1, fout = cxOut ? 2 : 1;
    marrowick::Layout layout{1, M};
    if (interleaved) {
        std::vector<float> t(x.size());
        for (int32_t j = 0; j < N; ++j)
            for (int32_t i = 0; i < M; ++i)
                for (std::size_t q = 0; q < fin; ++q)
                    t[fin * (static_cast<std::size_t>(i) * N + j) + q] =
                        x[fin * (static_cast<std::size_t>(j) * M + i) + q];
        x.swap(t);
        layout = marrowick::Layout{N, 1};
    }
    y.assign(fout * static_cast<std::size_t>(M) * N, 0.0f);
    call = marrowick::FilterCall{kernel,  {w.nb, w.na, M, N, L}, b.data(), a.data(), x.data(), layout, y.data(), layout,
                                 z.data()};
}

const std::vector<CascadeWorkload>& cascadeWorkloads() {
    static const std::vector<CascadeWorkload> all = {
        {"SOS1", 1, 1 << 21, 1},    {"SOS16", 16, 1 << 18, 1},      {"SOS256", 256, 1 << 16, 1},
        {"SOS1_24", 1, 1 << 21, 3}, {"SOS256_24", 256, 1 << 16, 3},
    };
    return all;
}

CascadeBuffers::CascadeBuffers(const CascadeWorkload& w, bool interleaved) : call{} {
    // butter(8, [0.1, 0.3], 'bandpass', output='sos') rounded to float32.
    static const float butterworth[8][6] = {
        {2.39596447e-05f, 4.79192895e-05f, 2.39596447e-05f, 1.0f, -1.18440318f, 0.474038661f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.0523355f, 0.493085623f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.38996518f, 0.566705227f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.02178144f, 0.620033085f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.57350314f, 0.696493566f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.71708059f, 0.818768382f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.09439945f, 0.846831441f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.84168947f, 0.937909305f},
    };
    for (int32_t r = 0; r < w.repeats; ++r)
        for (const auto& section : butterworth) sos.insert(sos.end(), section, section + 6);
    const int32_t S = 8 * w.repeats, M = w.samples, N = w.channels;
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    auto noise = [&](std::size_t n) {
        std::vector<float> v(n);
        for (float& f : v) f = u(rng);
        return v;
    };
    x = noise(static_cast<std::size_t>(M) * N);
    z.assign(static_cast<std::size_t>(S) * 2 * N, 0.0f);
    std::vector<float> piece = noise(256 * static_cast<std::size_t>(N)), out(piece.size());
    marrowick::runCascadeCall(marrowick::CascadeCall{
        marrowick::Kernel::RR, S, 256, N, sos.data(), piece.data(), {1, 256}, out.data(), {1, 256}, z.data()});
    marrowick::Layout layout{1, M};
    if (interleaved) {
        std::vector<float> t(x.size());
        for (int32_t j = 0; j < N; ++j)
            for (int32_t i = 0; i < M; ++i)
                t[static_cast<std::size_t>(i) * N + j] = x[static_cast<std::size_t>(j) * M + i];
        x.swap(t);
        layout = marrowick::Layout{N, 1};
    }
    y.assign(x.size(), 0.0f);
    call = marrowick::CascadeCall{
        marrowick::Kernel::RR, S, M, N, sos.data(), x.data(), layout, y.data(), layout, z.data()};
}

const std::vector<DoubleWorkload>& doubleWorkloads() {
    static const std::vector<DoubleWorkload> all = {
        {"SOS1D", 1, 1 << 21, true},
        {"SOS16D", 16, 1 << 18, true},
        {"SOS256D", 256, 1 << 16, true},
        {"W64D", 64, 1 << 16, false},
    };
    return all;
}

DoubleBuffers::DoubleBuffers(const DoubleWorkload& w, bool interleaved) : cascade(w.cascade), filter{}, sections{} {
    // The single-precision workloads' eight sections, each value exactly.
    static const float bandpass[8][6] = {
        {2.39596447e-05f, 4.79192895e-05f, 2.39596447e-05f, 1.0f, -1.18440318f, 0.474038661f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.0523355f, 0.493085623f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.38996518f, 0.566705227f},
        {1.0f, 2.0f, 1.0f, 1.0f, -1.02178144f, 0.620033085f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.57350314f, 0.696493566f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.71708059f, 0.818768382f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.09439945f, 0.846831441f},
        {1.0f, -2.0f, 1.0f, 1.0f, -1.84168947f, 0.937909305f},
    };
    const int32_t M = w.samples, N = w.channels;
    int32_t L = 0;
    if (w.cascade) {
        for (const auto& section : bandpass) sos.insert(sos.end(), section, section + 6);
        z.assign(8 * 2 * static_cast<std::size_t>(N), 0.0);
    } else {
        butterworth(4, 0.2, b, a);
        L = static_cast<int32_t>(b.size()) - 1;
        z.assign(static_cast<std::size_t>(L) * N, 0.0);
    }
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto noise = [&](std::size_t n) {
        std::vector<double> v(n);
        for (double& f : v) f = u(rng);
        return v;
    };
    x = noise(static_cast<std::size_t>(M) * N);
    using marrowick::Kernel;
    // The states after a previous piece, from rest.
    std::vector<double> piece = noise(256 * static_cast<std::size_t>(N)), out(piece.size());
    const marrowick::Layout pieceLayout{1, 256};
    if (w.cascade) {
        marrowick::runCascadeCall(marrowick::CascadeCall{Kernel::DRR, 8, 256, N, sos.data(), piece.data(), pieceLayout,
                                                         out.data(), pieceLayout, z.data()});
    } else {
        marrowick::runFilterCall(marrowick::FilterCall{Kernel::DRR,
                                                       {L + 1, L + 1, 256, N, L},
                                                       b.data(),
                                                       a.data(),
                                                       piece.data(),
                                                       pieceLayout,
                                                       out.data(),
                                                       pieceLayout,
                                                       z.data()});
    }
    marrowick::Layout layout{1, M};
    if (interleaved) {
        std::vector<double> t(x.size());
        for (int32_t j = 0; j < N; ++j)
            for (int32_t i = 0; i < M; ++i)
                t[static_cast<std::size_t>(i) * N + j] = x[static_cast<std::size_t>(j) * M + i];
        x.swap(t);
        layout = marrowick::Layout{N, 1};
    }
    y.assign(x.size(), 0.0);
    if (w.cascade) {
        sections =
            marrowick::CascadeCall{Kernel::DRR, 8, M, N, sos.data(), x.data(), layout, y.data(), layout, z.data()};
    } else {
        filter = marrowick::FilterCall{
            Kernel::DRR, {L + 1, L + 1, M, N, L}, b.data(), a.data(), x.data(), layout, y.data(), layout, z.data()};
    }
}

void DoubleBuffers::run(marrowick::KernelPath path) {
    if (cascade) {
        marrowick::runCascadeCall(sections, path);
    } else {
        marrowick::runFilterCall(filter, path);
    }
}

}  // namespace bench
