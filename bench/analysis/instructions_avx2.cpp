// Instruction microbenchmarks, AVX2 (built with -mavx2, run only on CPUs that
// have it): the 256-bit forms the AVX2 lane path issues. A group of 8
// channels is one ymm of floats and two ymm of doubles, so a widening is a
// vextractf128 and two vcvtps2pd (xmm to ymm), a narrowing two vcvtpd2ps
// (ymm to xmm) and a vinsertf128.
#define INSTR_POST "vzeroupper\n\t"
#include "instructions.h"

namespace instr {
namespace {

// clang-format off

#define Z INSTR_ZERO_VEX
#define CL INSTR_XMM_CLOBBERS
INSTR_TL(cvtps2pd, Z, "vcvtps2pd %%xmm", ", %%ymm", "", CL)
INSTR_TL(cvtpd2ps, Z, "vcvtpd2ps %%ymm", ", %%xmm", "", CL)
INSTR_TL(mulpd, Z, "vmulpd %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(addpd, Z, "vaddpd %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(subpd, Z, "vsubpd %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(mulps, Z, "vmulps %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(addps, Z, "vaddps %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(subps, Z, "vsubps %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(insertf128, Z, "vinsertf128 $1, %%xmm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(extractf128, Z, "vextractf128 $1, %%ymm", ", %%xmm", "", CL)
INSTR_TL(unpcklps, Z, "vunpcklps %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(shufps, Z, "vshufps $0x44, %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_TL(perm2f128, Z, "vperm2f128 $0x20, %%ymm", ", %%ymm14, %%ymm", "", CL)
INSTR_PAIR(roundtrip, Z, "vcvtpd2ps %%ymm", ", %%xmm", "", "vcvtps2pd %%xmm", ", %%ymm", "", CL)
INSTR_PAIR(cvtps2pd_mulpd, Z, "vcvtps2pd %%xmm", ", %%ymm", "", "vmulpd %%ymm", ", %%ymm13, %%ymm", "", CL)
INSTR_PAIR(cvtpd2ps_insert, Z, "vcvtpd2ps %%ymm", ", %%xmm", "", "vinsertf128 $1, %%xmm", ", %%ymm13, %%ymm", "", CL)
INSTR_PAIR(cvtps2pd_extract, Z, "vcvtps2pd %%xmm", ", %%ymm", "", "vextractf128 $1, %%ymm", ", %%xmm", "", CL)
INSTR_PAIR(mulpd_addpd, Z, "vmulpd %%ymm", ", %%ymm13, %%ymm", "", "vaddpd %%ymm", ", %%ymm13, %%ymm", "", CL)
// The all-real sample chain on a group of 8 lanes as the AVX2 path forms it
// (the upper four lanes: vextractf128, vcvtps2pd, vmulpd, vsubpd, vcvtpd2ps,
// vinsertf128, then again for y'), counted per sample of the group.
#define RR_SAMPLE8                                                                                     \
    "vextractf128 $1, %%ymm0, %%xmm1\n\tvcvtps2pd %%xmm1, %%ymm1\n\tvmulpd %%ymm2, %%ymm1, %%ymm1\n\t"       \
    "vsubpd %%ymm1, %%ymm3, %%ymm1\n\tvcvtpd2ps %%ymm1, %%xmm1\n\tvinsertf128 $1, %%xmm1, %%ymm4, %%ymm5\n\t" \
    "vextractf128 $1, %%ymm5, %%xmm1\n\tvcvtps2pd %%xmm1, %%ymm1\n\tvaddpd %%ymm6, %%ymm1, %%ymm1\n\t"       \
    "vcvtpd2ps %%ymm1, %%xmm1\n\tvinsertf128 $1, %%xmm1, %%ymm7, %%ymm0\n\t"
INSTR_BENCH(rr_sample8_chain_lat, Z, INSTR_X8(RR_SAMPLE8), 8, CL)
#undef Z
#undef CL

// clang-format on

}  // namespace

void registerAvx2() {
    INSTR_REGISTER("avx2/vcvtps2pd", cvtps2pd);
    INSTR_REGISTER("avx2/vcvtpd2ps", cvtpd2ps);
    INSTR_REGISTER("avx2/vmulpd", mulpd);
    INSTR_REGISTER("avx2/vaddpd", addpd);
    INSTR_REGISTER("avx2/vsubpd", subpd);
    INSTR_REGISTER("avx2/vmulps", mulps);
    INSTR_REGISTER("avx2/vaddps", addps);
    INSTR_REGISTER("avx2/vsubps", subps);
    INSTR_REGISTER("avx2/vinsertf128", insertf128);
    INSTR_REGISTER("avx2/vextractf128", extractf128);
    INSTR_REGISTER("avx2/vunpcklps", unpcklps);
    INSTR_REGISTER("avx2/vshufps", shufps);
    INSTR_REGISTER("avx2/vperm2f128", perm2f128);
    INSTR_REGISTER("pair/avx2/vcvtpd2ps+vcvtps2pd", roundtrip);
    INSTR_REGISTER("pair/avx2/vcvtps2pd+vmulpd", cvtps2pd_mulpd);
    INSTR_REGISTER("pair/avx2/vcvtpd2ps+vinsertf128", cvtpd2ps_insert);
    INSTR_REGISTER("pair/avx2/vcvtps2pd+vextractf128", cvtps2pd_extract);
    INSTR_REGISTER("pair/avx2/vmulpd+vaddpd", mulpd_addpd);
    add("chain/avx2/rr_sample/latency", rr_sample8_chain_lat);
}

}  // namespace instr
