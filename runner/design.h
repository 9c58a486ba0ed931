// A digital Butterworth low-pass design, shared by the runner's demo and the
// benchmarks: the analog prototype's poles, pre-warping and the bilinear
// transform, with all zeros at z = -1.
#pragma once

#include <cmath>
#include <complex>
#include <vector>

namespace design {

using cd = std::complex<double>;

// Coefficients of prod (z - r) for the given roots, highest power first.
inline std::vector<cd> polyFromRoots(const std::vector<cd>& roots) {
    std::vector<cd> p{1.0};
    for (const cd& r : roots) {
        std::vector<cd> q(p.size() + 1, 0.0);
        for (std::size_t i = 0; i < p.size(); ++i) {
            q[i] += p[i];
            q[i + 1] -= r * p[i];
        }
        p = q;
    }
    return p;
}

// Digital Butterworth low-pass of the given order, cutoff as a fraction of
// the Nyquist frequency: analog prototype, pre-warping and the bilinear
// transform.
inline void butterworth(int order, double cutoff, std::vector<double>& b, std::vector<double>& a) {
    const double fs = 2.0;
    const double warped = 2.0 * fs * std::tan(M_PI * cutoff / fs);
    std::vector<cd> poles, zeros;
    cd gain = std::pow(warped, order);
    cd den = 1.0;
    for (int k = 0; k < order; ++k) {
        const cd p = warped * std::exp(cd(0.0, M_PI * (2.0 * k + order + 1) / (2.0 * order)));
        poles.push_back((2.0 * fs + p) / (2.0 * fs - p));
        zeros.push_back(-1.0);
        den *= (2.0 * fs - p);
    }
    gain /= den;
    const std::vector<cd> pb = polyFromRoots(zeros), pa = polyFromRoots(poles);
    b.clear();
    a.clear();
    for (const cd& c : pb) b.push_back((gain * c).real());
    for (const cd& c : pa) a.push_back(c.real());
}

}  // namespace design
