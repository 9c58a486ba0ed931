// Square transposes of float tiles with the shuffles of the instruction set
// the including translation unit is compiled for: 4x4 (SSE, or the generic
// vector shuffles elsewhere, which GCC lowers to NEON's zips on AArch64), 8x8
// (AVX) and 16x16 (AVX-512F). Row r of the source starts at in + r * inStride, row r of
// the result at out + r * outStride; all accesses are unaligned loads and
// stores of whole rows.
//
// Included by lanes-inl.h alone, inside the anonymous namespace of the
// instruction set its translation unit is compiled for.

template <int W>
struct Transpose;

#if defined(__SSE2__)
template <>
struct Transpose<4> {
    static void run(const float* in, std::ptrdiff_t inStride, float* out, std::ptrdiff_t outStride) {
        __m128 r0 = _mm_loadu_ps(in);
        __m128 r1 = _mm_loadu_ps(in + inStride);
        __m128 r2 = _mm_loadu_ps(in + 2 * inStride);
        __m128 r3 = _mm_loadu_ps(in + 3 * inStride);
        const __m128 t0 = _mm_unpacklo_ps(r0, r1);
        const __m128 t1 = _mm_unpackhi_ps(r0, r1);
        const __m128 t2 = _mm_unpacklo_ps(r2, r3);
        const __m128 t3 = _mm_unpackhi_ps(r2, r3);
        _mm_storeu_ps(out, _mm_movelh_ps(t0, t2));
        _mm_storeu_ps(out + outStride, _mm_movehl_ps(t2, t0));
        _mm_storeu_ps(out + 2 * outStride, _mm_movelh_ps(t1, t3));
        _mm_storeu_ps(out + 3 * outStride, _mm_movehl_ps(t3, t1));
    }
};
#else
template <>
struct Transpose<4> {
    typedef float Row __attribute__((vector_size(4 * sizeof(float))));
    static void run(const float* in, std::ptrdiff_t inStride, float* out, std::ptrdiff_t outStride) {
        Row r0, r1, r2, r3;
        std::memcpy(&r0, in, sizeof(Row));
        std::memcpy(&r1, in + inStride, sizeof(Row));
        std::memcpy(&r2, in + 2 * inStride, sizeof(Row));
        std::memcpy(&r3, in + 3 * inStride, sizeof(Row));
        const Row t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
        const Row t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
        const Row t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
        const Row t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
        const Row c0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
        const Row c1 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
        const Row c2 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
        const Row c3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
        std::memcpy(out, &c0, sizeof(Row));
        std::memcpy(out + outStride, &c1, sizeof(Row));
        std::memcpy(out + 2 * outStride, &c2, sizeof(Row));
        std::memcpy(out + 3 * outStride, &c3, sizeof(Row));
    }
};
#endif

#if defined(__AVX__)
template <>
struct Transpose<8> {
    static void run(const float* in, std::ptrdiff_t inStride, float* out, std::ptrdiff_t outStride) {
        __m256 r[8];
        for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(in + i * inStride);
        __m256 t[8];
        for (int i = 0; i < 4; ++i) {
            t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
        }
        // u[4h + c], in 128-bit lane l, holds column 4l + c of rows 4h..4h+3.
        __m256 u[8];
        for (int h = 0; h < 2; ++h) {
            u[4 * h + 0] = _mm256_shuffle_ps(t[4 * h + 0], t[4 * h + 2], 0x44);
            u[4 * h + 1] = _mm256_shuffle_ps(t[4 * h + 0], t[4 * h + 2], 0xEE);
            u[4 * h + 2] = _mm256_shuffle_ps(t[4 * h + 1], t[4 * h + 3], 0x44);
            u[4 * h + 3] = _mm256_shuffle_ps(t[4 * h + 1], t[4 * h + 3], 0xEE);
        }
        for (int c = 0; c < 4; ++c) {
            _mm256_storeu_ps(out + c * outStride, _mm256_permute2f128_ps(u[c], u[4 + c], 0x20));
            _mm256_storeu_ps(out + (4 + c) * outStride, _mm256_permute2f128_ps(u[c], u[4 + c], 0x31));
        }
    }
};
#endif

#if defined(__AVX512F__)
template <>
struct Transpose<16> {
    static void run(const float* in, std::ptrdiff_t inStride, float* out, std::ptrdiff_t outStride) {
        __m512 r[16];
        for (int i = 0; i < 16; ++i) r[i] = _mm512_loadu_ps(in + i * inStride);
        __m512 t[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
        }
        // u[4h + c], in 128-bit lane l, holds column 4l + c of rows 4h..4h+3.
        __m512 u[16];
        for (int h = 0; h < 4; ++h) {
            u[4 * h + 0] = _mm512_shuffle_ps(t[4 * h + 0], t[4 * h + 2], 0x44);
            u[4 * h + 1] = _mm512_shuffle_ps(t[4 * h + 0], t[4 * h + 2], 0xEE);
            u[4 * h + 2] = _mm512_shuffle_ps(t[4 * h + 1], t[4 * h + 3], 0x44);
            u[4 * h + 3] = _mm512_shuffle_ps(t[4 * h + 1], t[4 * h + 3], 0xEE);
        }
        // Gather the 128-bit lanes: column 4l + c takes lane l of u[c], u[4+c],
        // u[8+c], u[12+c].
        for (int c = 0; c < 4; ++c) {
            const __m512 even01 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0x88);
            const __m512 odd01 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0xDD);
            const __m512 even23 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0x88);
            const __m512 odd23 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0xDD);
            _mm512_storeu_ps(out + c * outStride, _mm512_shuffle_f32x4(even01, even23, 0x88));
            _mm512_storeu_ps(out + (4 + c) * outStride, _mm512_shuffle_f32x4(odd01, odd23, 0x88));
            _mm512_storeu_ps(out + (8 + c) * outStride, _mm512_shuffle_f32x4(even01, even23, 0xDD));
            _mm512_storeu_ps(out + (12 + c) * outStride, _mm512_shuffle_f32x4(odd01, odd23, 0xDD));
        }
    }
};
#endif

// Square transposes of double tiles, W doubles to a row (W = 2, 4 or 8):
// log2(W) rounds of interleaving rows i and i + W/2 (their low halves into
// row 2i, their high halves into row 2i + 1) with the generic vector
// shuffles; 4x4 with the AVX in-lane unpacks and 128-bit lane permutes.
template <int W>
struct TransposeDoubles {
    typedef double Row __attribute__((vector_size(W * sizeof(double))));
    template <std::size_t... I>
    static Row zipLow(Row a, Row b, std::index_sequence<I...>) {
        return __builtin_shufflevector(a, b, ((I % 2) ? W + I / 2 : I / 2)...);
    }
    template <std::size_t... I>
    static Row zipHigh(Row a, Row b, std::index_sequence<I...>) {
        return __builtin_shufflevector(a, b, ((I % 2) ? W + W / 2 + I / 2 : W / 2 + I / 2)...);
    }
    static void run(const double* in, std::ptrdiff_t inStride, double* out, std::ptrdiff_t outStride) {
        const auto idx = std::make_index_sequence<W>();
        Row r[W], n[W];
        for (int i = 0; i < W; ++i) std::memcpy(&r[i], in + i * inStride, sizeof(Row));
        for (int round = 1; round < W; round *= 2) {
            for (int i = 0; i < W / 2; ++i) {
                n[2 * i] = zipLow(r[i], r[i + W / 2], idx);
                n[2 * i + 1] = zipHigh(r[i], r[i + W / 2], idx);
            }
            for (int i = 0; i < W; ++i) r[i] = n[i];
        }
        for (int i = 0; i < W; ++i) std::memcpy(out + i * outStride, &r[i], sizeof(Row));
    }
};

#if defined(__AVX__)
template <>
struct TransposeDoubles<4> {
    static void run(const double* in, std::ptrdiff_t inStride, double* out, std::ptrdiff_t outStride) {
        const __m256d r0 = _mm256_loadu_pd(in);
        const __m256d r1 = _mm256_loadu_pd(in + inStride);
        const __m256d r2 = _mm256_loadu_pd(in + 2 * inStride);
        const __m256d r3 = _mm256_loadu_pd(in + 3 * inStride);
        const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
        const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
        const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
        const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(t0, t2, 0x20));
        _mm256_storeu_pd(out + outStride, _mm256_permute2f128_pd(t1, t3, 0x20));
        _mm256_storeu_pd(out + 2 * outStride, _mm256_permute2f128_pd(t0, t2, 0x31));
        _mm256_storeu_pd(out + 3 * outStride, _mm256_permute2f128_pd(t1, t3, 0x31));
    }
};
#endif
