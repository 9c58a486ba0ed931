// Zero-phase filtering of complex data with second-order sections, and a streaming object that
// continues a signal piece by piece, in C++ with std::complex<float> (the library's complex
// element) and std::vector; then zero-phase filtering in double precision, with the design as
// designed (std::complex<double> is the double kinds' complex element).
#include <marrowick.h>

#include <complex>
#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void check(int status) {
    if (status != MARROWICK_OK)
        throw std::runtime_error(std::string(marrowick_status_id(status)) + ": " + marrowick_strerror(status));
}

// Owns a marrowick_filter.
struct FilterDeleter {
    void operator()(marrowick_filter* f) const { marrowick_filter_destroy(f); }
};
using Filter = std::unique_ptr<marrowick_filter, FilterDeleter>;

}  // namespace

int main() try {
    // Two sections (rows b0 b1 b2 a0 a1 a2), real: a fourth-order Butterworth low-pass at 0.1 of
    // the Nyquist frequency.
    const std::vector<float> sos = {0.00041659921f, 0.00083319843f, 0.00041659921f, 1.0f, -1.4796742f, 0.55582154f,
                                    1.0f,           2.0f,           1.0f,           1.0f, -1.7009643f, 0.78849971f};
    const std::size_t M = 200, N = 3;  // 200 samples of 3 channels, planar (channel after channel)
    std::vector<std::complex<float>> x(M * N), y(M * N);
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t i = 0; i < M; ++i) x[j * M + i] = std::polar(1.0f, 0.05f * static_cast<float>(i * (j + 1)));

    // Real sections over complex data: kind RC.
    const marrowick_kind kind = marrowick_kind_for(0, 1, 0);
    check(marrowick_sosfiltfilt(kind, sos.data(), 2, M, N, x.data(), nullptr, y.data(), nullptr, nullptr));
    std::printf("zero-phase: y[100] of channel 0 = %g%+gi\n", y[100].real(), y[100].imag());

    // The same sections as a stream, 50 samples at a time.
    marrowick_filter* raw = nullptr;
    check(marrowick_filter_create_sos(&raw, kind, sos.data(), 2, N, nullptr));
    Filter stream(raw);
    const marrowick_layout planar = {1, static_cast<std::ptrdiff_t>(M)};
    for (std::size_t i0 = 0; i0 < M; i0 += 50)
        check(marrowick_filter_process(stream.get(), 50, &x[i0], &planar, &y[i0], &planar));
    std::vector<std::complex<float>> state(marrowick_filter_state_size(stream.get()));
    check(marrowick_filter_get_state(stream.get(), state.data(), state.size()));
    std::printf("stream: y[199] of channel 0 = %g%+gi, %zu state elements\n", y[M - 1].real(), y[M - 1].imag(),
                state.size());

    // Double precision: the signal's type decides it, so the kind is DCC for complex double data, whose
    // coefficients are complex too (the real design with +0 imaginary parts). The same design as above,
    // as designed in double precision.
    const double design[2][6] = {{0.00041659920440659937, 0.0008331984088131987, 0.00041659920440659937, 1.0,
                                  -1.4796742169311934, 0.5558215432824889},
                                 {1.0, 2.0, 1.0, 1.0, -1.7009643319435257, 0.7884997398152979}};
    std::vector<std::complex<double>> sosDouble;
    for (const auto& row : design) sosDouble.insert(sosDouble.end(), std::begin(row), std::end(row));
    const std::vector<std::complex<double>> xd(x.begin(), x.end());
    std::vector<std::complex<double>> yd(M * N);
    const marrowick_kind wide = marrowick_kind_for_precision(1, 0, 1, 0);
    check(marrowick_sosfiltfilt(wide, sosDouble.data(), 2, M, N, xd.data(), nullptr, yd.data(), nullptr, nullptr));
    std::printf("double zero-phase: y[100] of channel 0 = %.17g%+.17gi\n", yd[100].real(), yd[100].imag());
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
}
