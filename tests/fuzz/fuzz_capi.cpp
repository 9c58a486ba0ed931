// Fuzz target for the C library's arguments. The bytes describe one call:
// the function, the kind (of either precision, or any int), the counts (now
// and then 0 or beyond 2^31 - 1), the layouts (planar, interleaved,
// reversed, folding, zero strides, extreme strides), in place or
// overlapping outputs, states or none, workers, padding, and now and then a
// buffer placed so that its span wraps the address space. Buffers are held
// as 32-bit words, an element one to four of them (a float to a complex
// double), and the double kinds' values are doubles. Every buffer is
// allocated to exactly the span its layout needs, so the sanitizers see any
// access outside it; a layout with an extreme stride or a wrapping buffer
// must be refused without any access.
//
// Every call returns a listed status with a one-line text; a refused call
// leaves every output as it was; a call that succeeds gives the same bits
// when repeated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_check.h"
#include "marrowick.h"

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    float value() {
        const std::uint8_t sel = byte();
        if (sel < 200) return static_cast<float>(static_cast<int>(sel) - 100) / 32.0f;
        switch (sel % 6) {
            case 0: return -0.0f;
            case 1: return std::numeric_limits<float>::infinity();
            case 2: return std::numeric_limits<float>::quiet_NaN();
            case 3: return std::numeric_limits<float>::denorm_min();
            case 4: return std::numeric_limits<float>::max();
            default: return 0.0f;
        }
    }
    double wideValue() {
        const std::uint8_t sel = byte();
        if (sel < 200) return static_cast<double>(static_cast<int>(sel) - 100) / 32.0;
        switch (sel % 6) {
            case 0: return -0.0;
            case 1: return std::numeric_limits<double>::infinity();
            case 2: return std::numeric_limits<double>::quiet_NaN();
            case 3: return std::numeric_limits<double>::denorm_min();
            case 4: return std::numeric_limits<double>::max();
            default: return 1e-300;
        }
    }
    // Words of values: floats, or doubles two words each.
    void fill(std::vector<float>& v, bool wide) {
        if (!wide) {
            for (float& f : v) f = value();
            return;
        }
        for (std::size_t k = 0; k + 1 < v.size(); k += 2) {
            const double d = wideValue();
            std::memcpy(&v[k], &d, sizeof d);
        }
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// Strides no buffer can have: the library must refuse them whenever they are
// taken (both strides are this value).
bool extreme(const marrowick_layout& l) { return l.sample == l.channel && (l.sample > 4096 || l.sample < -4096); }

// A buffer holding exactly the elements a layout reaches, with the pointer
// to sample 0 of channel 0.
struct Strided {
    std::vector<float> data;
    std::ptrdiff_t origin = 0;  // in floats
    float* at() { return data.empty() ? nullptr : data.data() + origin; }
    // The bytes from sample 0 of channel 0 to the end of the span.
    std::size_t above() const { return (data.size() - static_cast<std::size_t>(origin)) * sizeof(float); }
};
Strided strided(const marrowick_layout& l, std::size_t M, std::size_t N, int words, bool wide, Reader& r) {
    Strided s;
    if (M == 0 || N == 0) return s;
    if (extreme(l)) {  // one element, or a few for the refusal to leave alone
        s.data.resize(static_cast<std::size_t>(8 * words));
        r.fill(s.data, wide);
        return s;
    }
    const std::ptrdiff_t si = static_cast<std::ptrdiff_t>(M - 1) * l.sample;
    const std::ptrdiff_t sj = static_cast<std::ptrdiff_t>(N - 1) * l.channel;
    const std::ptrdiff_t lo = (si < 0 ? si : 0) + (sj < 0 ? sj : 0), hi = (si > 0 ? si : 0) + (sj > 0 ? sj : 0);
    s.data.resize(static_cast<std::size_t>(hi - lo + 1) * words);
    r.fill(s.data, wide);
    s.origin = -lo * words;
    return s;
}

marrowick_layout layoutOf(std::uint8_t sel, std::size_t M, std::size_t N) {
    const auto m = static_cast<std::ptrdiff_t>(M), n = static_cast<std::ptrdiff_t>(N);
    constexpr std::ptrdiff_t kExtreme[] = {std::numeric_limits<std::ptrdiff_t>::min(),
                                           std::numeric_limits<std::ptrdiff_t>::max(), -(std::ptrdiff_t{1} << 48),
                                           std::ptrdiff_t{1} << 59};
    if (sel >= 248) return {kExtreme[sel % 4], kExtreme[sel % 4]};
    switch (sel % 8) {
        case 0: return {1, m};
        case 1: return {n, 1};
        case 2: return {-1, m};
        case 3: return {-n, 1};
        case 4: return {0, 1};
        case 5: return {1, m > 1 ? m - 1 : 0};
        case 6: return {2, 3};
        default: return {n + 1, -1};
    }
}

// Words per element of a kind's coefficients, input and output (and state).
struct Words {
    bool wide;
    int coef, in, out;
};
Words wordsOf(int kind) {
    const bool wide = kind == MARROWICK_DRR || kind == MARROWICK_DCC || kind == MARROWICK_DCR;
    const bool complexCoef =
        kind == MARROWICK_CC || kind == MARROWICK_CR || kind == MARROWICK_DCC || kind == MARROWICK_DCR;
    const bool complexIn = kind == MARROWICK_CC || kind == MARROWICK_RC || kind == MARROWICK_DCC;
    const bool complexOut = kind != MARROWICK_RR && kind != MARROWICK_DRR;
    const int w = wide ? 2 : 1;
    return Words{wide, (complexCoef ? 2 : 1) * w, (complexIn ? 2 : 1) * w, (complexOut ? 2 : 1) * w};
}

bool sameBits(const std::vector<float>& p, const std::vector<float>& q) {
    return p.size() == q.size() && (p.empty() || std::memcmp(p.data(), q.data(), p.size() * sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    const int function = r.byte() % 8;
    // 0 and 9 are not kinds; now and then any int.
    const std::uint8_t kindSel = r.byte();
    int kind = kindSel % 10;
    if (kindSel >= 240) {
        std::uint32_t u = 0;
        for (int k = 0; k < 4; ++k) u = u << 8 | r.byte();
        std::memcpy(&kind, &u, sizeof kind);
    }
    const Words words = wordsOf(kind);
    const bool wide = words.wide;
    const int cw = words.coef, iw = words.in, ow = words.out;
    const std::uint8_t sizes = r.byte();
    const std::size_t huge = std::size_t{1} << 31;
    std::size_t nb = r.byte() % 6, na = r.byte() % 6, S = r.byte() % 4;
    std::size_t M = r.byte() % 40, N = 1 + r.byte() % 5;
    const bool sections = function == 1 || function == 3 || function == 5;
    if (sizes == 255) M = huge;
    if (sizes == 254 && !sections) nb = huge;  // a count the call reads
    const bool tooLarge = M == huge || nb == huge;
    const marrowick_layout xl = layoutOf(r.byte(), M, N), yl = layoutOf(r.byte(), M, N);
    const std::uint8_t flags = r.byte();
    const bool inPlace = flags & 1, withZi = flags & 2, withZf = flags & 4;
    const int workers = (flags >> 3) % 4 == 3 ? -1 : static_cast<int>((flags >> 3) % 4);
    const bool defaults = flags & 0x40, otherSize = flags & 0x80;  // options NULL, or of another size
    const int padtype = r.byte() % 5;
    const std::ptrdiff_t padlen = static_cast<std::ptrdiff_t>(r.byte() % 48) - 2;

    // A count beyond 2^31 - 1 comes with a buffer of a few elements: the
    // library must refuse it without reading.
    std::vector<float> b(nb == huge ? 8 : (nb ? nb : 1) * cw), a((na ? na : 1) * cw), sos(6 * 4 * 4);
    r.fill(b, wide);
    r.fill(a, wide);
    r.fill(sos, wide);
    std::vector<float> dummy(16);
    Strided x = tooLarge ? Strided{} : strided(xl, M, N, iw, wide, r);
    Strided y = tooLarge ? Strided{} : strided(yl, M, N, ow, wide, r);
    // A buffer whose span runs past the last address: chosen only where it
    // spans more than the 8 bytes left there.
    const std::uint8_t wrapSel = r.byte();
    void* const top = reinterpret_cast<void*>(std::numeric_limits<std::uintptr_t>::max() - 7);
    int wrap = wrapSel >= 252 ? wrapSel - 251 : 0;  // 1: x, 2: y, 3: zf, 4: b, for a call that takes it
    if ((wrap <= 2 && (function == 4 || function == 5 || function == 7)) || (wrap == 4 && (sections || function == 7)))
        wrap = 0;
    const std::size_t longer = nb > na ? nb : na;
    const std::size_t L = sections ? 2 * S : longer > 0 ? longer - 1 : 0;
    std::vector<float> zi(tooLarge ? 0 : L * N * ow + 2), zf(zi.size());
    r.fill(zi, wide);
    r.fill(zf, wide);
    std::vector<double> steady(2 * 2 * 4 + 2 * 8);

    const void* xp = tooLarge ? dummy.data() : x.at();
    void* yp = tooLarge ? dummy.data() : (inPlace ? x.at() : y.at());
    const marrowick_layout* ylp = inPlace ? &xl : &yl;
    void* zfp = withZf ? zf.data() : nullptr;
    if (!tooLarge && wrap == 1 && xp && !inPlace && !extreme(xl) && x.above() > 8) xp = top;
    if (!tooLarge && wrap == 2 && yp && !inPlace && !extreme(yl) && y.above() > 8) yp = top;
    if (!tooLarge && wrap == 3 && zfp && L * N * static_cast<std::size_t>(ow) > 2 && function < 2) zfp = top;
    const void* bp = wrap == 4 && b.size() > 2 && !tooLarge ? top : b.data();
    const void* zip = withZi ? zi.data() : nullptr;

    const std::vector<float> x0 = x.data, y0 = y.data, zf0 = zf;
    const std::vector<double> steady0 = steady;
    marrowick_options options = MARROWICK_OPTIONS_INIT;
    options.workers = workers;
    options.padtype = padtype;
    options.padlen = padlen;
    if (otherSize) options.size -= sizeof(std::ptrdiff_t);
    const marrowick_options* op = defaults ? nullptr : &options;
    auto call = [&]() -> int {
        const int k = kind;
        switch (function) {
            case 0: return marrowick_lfilter(k, bp, nb, a.data(), na, M, N, xp, &xl, yp, ylp, zip, zfp, op);
            case 1: return marrowick_sosfilt(k, sos.data(), S, M, N, xp, &xl, yp, ylp, zip, zfp, op);
            case 2: return marrowick_filtfilt(k, bp, nb, a.data(), na, M, N, xp, &xl, yp, ylp, op);
            case 3: return marrowick_sosfiltfilt(k, sos.data(), S, M, N, xp, &xl, yp, ylp, op);
            case 4: return marrowick_lfilter_zi(k, bp, nb, a.data(), na, steady.data());
            case 5: return marrowick_sosfilt_zi(k, sos.data(), S, steady.data());
            case 7: return marrowick_lfilter_start_state(k, steady.data(), nb, na, N, xp, xl.channel, zfp);
            default: {
                marrowick_filter* f = nullptr;
                int status = marrowick_filter_create(&f, k, bp, nb, a.data(), na, N, zip);
                if (status != MARROWICK_OK) {
                    FUZZ_CHECK(f == nullptr, "a refused object");
                    return status;
                }
                status = marrowick_filter_process(f, M, xp, &xl, yp, ylp);
                if (status == MARROWICK_OK && zfp) status = marrowick_filter_get_state(f, zfp, L * N);
                marrowick_filter_destroy(f);
                return status;
            }
        }
    };
    const int status = call();
    FUZZ_CHECK(status >= 0 && status <= MARROWICK_E_OPTIONS && status != MARROWICK_E_INTERNAL, "status %d", status);
    FUZZ_CHECK(status != MARROWICK_OK || (xp != top && yp != top && zfp != top && bp != top), "a wrapping span taken");
    FUZZ_CHECK(std::strlen(marrowick_strerror(status)) > 0 && !std::strchr(marrowick_strerror(status), '\n'),
               "status text");
    if (tooLarge) return 0;  // the buffers are a few elements: the sanitizers catch any use of them
    if (status != MARROWICK_OK) {
        FUZZ_CHECK(sameBits(x.data, x0) && sameBits(y.data, y0) && sameBits(zf, zf0), "a refusal wrote");
        FUZZ_CHECK(std::memcmp(steady.data(), steady0.data(), steady.size() * sizeof(double)) == 0,
                   "a refusal wrote the steady states");
        return 0;
    }
    if (inPlace) return 0;  // the input is the output: a repeat reads other data
    const std::vector<float> y1 = y.data, zf1 = zf;
    std::vector<double> steady1 = steady;
    std::copy(zf0.begin(), zf0.end(), zf.begin());
    std::copy(y0.begin(), y0.end(), y.data.begin());
    FUZZ_CHECK(call() == MARROWICK_OK, "a repeated call refused");
    FUZZ_CHECK(sameBits(y.data, y1) && sameBits(zf, zf1), "a repeated call differs");
    FUZZ_CHECK(std::memcmp(steady.data(), steady1.data(), steady.size() * sizeof(double)) == 0,
               "repeated steady states differ");
    return 0;
}
