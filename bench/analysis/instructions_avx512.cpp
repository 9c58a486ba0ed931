// Instruction microbenchmarks, AVX-512 (built with -mavx512f -mavx2, run only
// on CPUs that have AVX-512F): the 512-bit forms the AVX-512 lane path
// issues. A group of 16 channels is one zmm of floats and two zmm of
// doubles: a widening is a vextracti64x4 and two vcvtps2pd (ymm to zmm), a
// narrowing two vcvtpd2ps (zmm to ymm) and a vinsertf64x4; the 16x16
// transposes use vunpcklps/vunpckhps, vshufps and vshuff32x4.
#define INSTR_POST "vzeroupper\n\t"
#include "instructions.h"

namespace instr {
namespace {

// clang-format off

#define Z INSTR_ZERO_VEX
#define CL INSTR_XMM_CLOBBERS
INSTR_TL(cvtps2pd, Z, "vcvtps2pd %%ymm", ", %%zmm", "", CL)
INSTR_TL(cvtpd2ps, Z, "vcvtpd2ps %%zmm", ", %%ymm", "", CL)
INSTR_TL(mulpd, Z, "vmulpd %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(addpd, Z, "vaddpd %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(subpd, Z, "vsubpd %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(mulps, Z, "vmulps %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(addps, Z, "vaddps %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(subps, Z, "vsubps %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(insertf64x4, Z, "vinsertf64x4 $1, %%ymm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(extracti64x4, Z, "vextracti64x4 $1, %%zmm", ", %%ymm", "", CL)
INSTR_TL(unpcklps, Z, "vunpcklps %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(shufps, Z, "vshufps $0x44, %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(shuff32x4, Z, "vshuff32x4 $0x88, %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_TL(permi2ps, Z, "vpermi2ps %%zmm", ", %%zmm14, %%zmm", "", CL)
INSTR_PAIR(roundtrip, Z, "vcvtpd2ps %%zmm", ", %%ymm", "", "vcvtps2pd %%ymm", ", %%zmm", "", CL)
INSTR_PAIR(cvtps2pd_mulpd, Z, "vcvtps2pd %%ymm", ", %%zmm", "", "vmulpd %%zmm", ", %%zmm13, %%zmm", "", CL)
INSTR_PAIR(cvtpd2ps_insert, Z, "vcvtpd2ps %%zmm", ", %%ymm", "", "vinsertf64x4 $1, %%ymm", ", %%zmm13, %%zmm", "", CL)
INSTR_PAIR(cvtps2pd_extract, Z, "vcvtps2pd %%ymm", ", %%zmm", "", "vextracti64x4 $1, %%zmm", ", %%ymm", "", CL)
INSTR_PAIR(cvtps2pd_cvtpd2ps, Z, "vcvtps2pd %%ymm", ", %%zmm", "", "vcvtpd2ps %%zmm", ", %%ymm", "", CL)
INSTR_PAIR(mulpd_addpd, Z, "vmulpd %%zmm", ", %%zmm13, %%zmm", "", "vaddpd %%zmm", ", %%zmm13, %%zmm", "", CL)
// The all-real sample chain on a group of 16 lanes as the AVX-512 path forms
// it (the upper eight lanes: vextracti64x4, vcvtps2pd, vmulpd, vsubpd,
// vcvtpd2ps, vinsertf64x4, then again for y'), counted per sample of the group.
#define RR_SAMPLE16                                                                                    \
    "vextracti64x4 $1, %%zmm0, %%ymm1\n\tvcvtps2pd %%ymm1, %%zmm1\n\tvmulpd %%zmm2, %%zmm1, %%zmm1\n\t"      \
    "vsubpd %%zmm1, %%zmm3, %%zmm1\n\tvcvtpd2ps %%zmm1, %%ymm1\n\tvinsertf64x4 $1, %%ymm1, %%zmm4, %%zmm5\n\t" \
    "vextracti64x4 $1, %%zmm5, %%ymm1\n\tvcvtps2pd %%ymm1, %%zmm1\n\tvaddpd %%zmm6, %%zmm1, %%zmm1\n\t"      \
    "vcvtpd2ps %%zmm1, %%ymm1\n\tvinsertf64x4 $1, %%ymm1, %%zmm7, %%zmm0\n\t"
INSTR_BENCH(rr_sample16_chain_lat, Z, INSTR_X8(RR_SAMPLE16), 8, CL)
#undef Z
#undef CL

// clang-format on

}  // namespace

void registerAvx512() {
    INSTR_REGISTER("avx512/vcvtps2pd", cvtps2pd);
    INSTR_REGISTER("avx512/vcvtpd2ps", cvtpd2ps);
    INSTR_REGISTER("avx512/vmulpd", mulpd);
    INSTR_REGISTER("avx512/vaddpd", addpd);
    INSTR_REGISTER("avx512/vsubpd", subpd);
    INSTR_REGISTER("avx512/vmulps", mulps);
    INSTR_REGISTER("avx512/vaddps", addps);
    INSTR_REGISTER("avx512/vsubps", subps);
    INSTR_REGISTER("avx512/vinsertf64x4", insertf64x4);
    INSTR_REGISTER("avx512/vextracti64x4", extracti64x4);
    INSTR_REGISTER("avx512/vunpcklps", unpcklps);
    INSTR_REGISTER("avx512/vshufps", shufps);
    INSTR_REGISTER("avx512/vshuff32x4", shuff32x4);
    INSTR_REGISTER("avx512/vpermi2ps", permi2ps);
    INSTR_REGISTER("pair/avx512/vcvtpd2ps+vcvtps2pd", roundtrip);
    INSTR_REGISTER("pair/avx512/vcvtps2pd+vmulpd", cvtps2pd_mulpd);
    INSTR_REGISTER("pair/avx512/vcvtpd2ps+vinsertf64x4", cvtpd2ps_insert);
    INSTR_REGISTER("pair/avx512/vcvtps2pd+vextracti64x4", cvtps2pd_extract);
    INSTR_REGISTER("pair/avx512/vcvtps2pd+vcvtpd2ps", cvtps2pd_cvtpd2ps);
    INSTR_REGISTER("pair/avx512/vmulpd+vaddpd", mulpd_addpd);
    add("chain/avx512/rr_sample/latency", rr_sample16_chain_lat);
}

}  // namespace instr
