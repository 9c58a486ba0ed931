// Instruction microbenchmarks, baseline x86-64 (legacy SSE encodings, as the
// SSE2 lane path and the one-channel path issue them): 128-bit conversions
// between 4 floats and 2 doubles, packed and scalar arithmetic, the shuffles
// of the 4x4 transposes, and the dependent chain of one all-real sample.
#include "instructions.h"

namespace instr {
namespace {

// clang-format off

#define Z INSTR_ZERO_SSE
#define CL INSTR_XMM_CLOBBERS
INSTR_TL(cvtps2pd, Z, "cvtps2pd %%xmm", ", %%xmm", "", CL)
INSTR_TL(cvtpd2ps, Z, "cvtpd2ps %%xmm", ", %%xmm", "", CL)
INSTR_TL(mulpd, Z, "mulpd %%xmm", ", %%xmm", "", CL)
INSTR_TL(addpd, Z, "addpd %%xmm", ", %%xmm", "", CL)
INSTR_TL(subpd, Z, "subpd %%xmm", ", %%xmm", "", CL)
INSTR_TL(mulps, Z, "mulps %%xmm", ", %%xmm", "", CL)
INSTR_TL(addps, Z, "addps %%xmm", ", %%xmm", "", CL)
INSTR_TL(subps, Z, "subps %%xmm", ", %%xmm", "", CL)
INSTR_TL(shufps, Z, "shufps $0x44, %%xmm", ", %%xmm", "", CL)
INSTR_TL(unpcklps, Z, "unpcklps %%xmm", ", %%xmm", "", CL)
INSTR_TL(movlhps, Z, "movlhps %%xmm", ", %%xmm", "", CL)
INSTR_TL(cvtss2sd, Z, "cvtss2sd %%xmm", ", %%xmm", "", CL)
INSTR_TL(cvtsd2ss, Z, "cvtsd2ss %%xmm", ", %%xmm", "", CL)
INSTR_TL(mulsd, Z, "mulsd %%xmm", ", %%xmm", "", CL)
INSTR_TL(addsd, Z, "addsd %%xmm", ", %%xmm", "", CL)
INSTR_TL(subsd, Z, "subsd %%xmm", ", %%xmm", "", CL)
INSTR_TL(mulss, Z, "mulss %%xmm", ", %%xmm", "", CL)
INSTR_TL(addss, Z, "addss %%xmm", ", %%xmm", "", CL)
// Narrowing then widening (one rounding of a stored value and its reuse).
INSTR_PAIR(roundtrip_pd, Z, "cvtpd2ps %%xmm", ", %%xmm", "", "cvtps2pd %%xmm", ", %%xmm", "", CL)
INSTR_PAIR(roundtrip_sd, Z, "cvtsd2ss %%xmm", ", %%xmm", "", "cvtss2sd %%xmm", ", %%xmm", "", CL)
INSTR_PAIR(cvtps2pd_mulpd, Z, "cvtps2pd %%xmm", ", %%xmm", "", "mulpd %%xmm", ", %%xmm", "", CL)
INSTR_PAIR(cvtpd2ps_shufps, Z, "cvtpd2ps %%xmm", ", %%xmm", "", "shufps $0x44, %%xmm", ", %%xmm", "", CL)

// The all-real chain of one sample of a two-state filter, one channel: from
// y to the next y through z[0] (xmm0 = y as float):
//   z0 = narrow(q - widen(y) * a1)   cvtss2sd, mulsd, subsd, cvtsd2ss
//   y' = narrow(p + widen(z0))       cvtss2sd, addsd, cvtsd2ss
// (q = b1*x + z1 and p = b0*x are off the chain: xmm2 and xmm5; the register
// copy is eliminated at rename). Counted per sample (8 instructions).
#define RR_SAMPLE                                                                                     \
    "cvtss2sd %%xmm0, %%xmm0\n\tmulsd %%xmm1, %%xmm0\n\tmovapd %%xmm2, %%xmm4\n\tsubsd %%xmm0, %%xmm4\n\t" \
    "cvtsd2ss %%xmm4, %%xmm4\n\tcvtss2sd %%xmm4, %%xmm4\n\taddsd %%xmm5, %%xmm4\n\tcvtsd2ss %%xmm4, %%xmm0\n\t"
INSTR_BENCH(rr_sample_chain_lat, Z, INSTR_X8(RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE RR_SAMPLE), 12 * 8, CL)
// The same sample rounded in single precision throughout (each operation
// rounded to single): y' = p + (q - y * a1), three dependent operations.
#define SS_SAMPLE "movaps %%xmm0, %%xmm3\n\tmulss %%xmm1, %%xmm3\n\tmovaps %%xmm2, %%xmm0\n\tsubss %%xmm3, %%xmm0\n\taddss %%xmm5, %%xmm0\n\t"
INSTR_BENCH(ss_sample_chain_lat, Z, INSTR_X8(SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE SS_SAMPLE), 12 * 8, CL)
// The same sample on a group of 4 lanes as the SSE2 path forms it (the upper
// two lanes: movhlps, cvtps2pd, mulpd, subpd, cvtpd2ps, movlhps, then again
// for y'), counted per sample of the group.
#define RR_SAMPLE4                                                                                   \
    "movhlps %%xmm0, %%xmm1\n\tcvtps2pd %%xmm1, %%xmm1\n\tmulpd %%xmm2, %%xmm1\n\tmovapd %%xmm3, %%xmm4\n\t" \
    "subpd %%xmm1, %%xmm4\n\tcvtpd2ps %%xmm4, %%xmm4\n\tmovlhps %%xmm4, %%xmm5\n\tmovhlps %%xmm5, %%xmm1\n\t"  \
    "cvtps2pd %%xmm1, %%xmm1\n\taddpd %%xmm6, %%xmm1\n\tcvtpd2ps %%xmm1, %%xmm1\n\tmovaps %%xmm7, %%xmm0\n\t"  \
    "movlhps %%xmm1, %%xmm0\n\t"
INSTR_BENCH(rr_sample4_chain_lat, Z, INSTR_X8(RR_SAMPLE4), 8, CL)
#undef Z
#undef CL

// clang-format on

}  // namespace

void registerSse2() {
    INSTR_REGISTER("sse/cvtps2pd", cvtps2pd);
    INSTR_REGISTER("sse/cvtpd2ps", cvtpd2ps);
    INSTR_REGISTER("sse/mulpd", mulpd);
    INSTR_REGISTER("sse/addpd", addpd);
    INSTR_REGISTER("sse/subpd", subpd);
    INSTR_REGISTER("sse/mulps", mulps);
    INSTR_REGISTER("sse/addps", addps);
    INSTR_REGISTER("sse/subps", subps);
    INSTR_REGISTER("sse/shufps", shufps);
    INSTR_REGISTER("sse/unpcklps", unpcklps);
    INSTR_REGISTER("sse/movlhps", movlhps);
    INSTR_REGISTER("scalar/cvtss2sd", cvtss2sd);
    INSTR_REGISTER("scalar/cvtsd2ss", cvtsd2ss);
    INSTR_REGISTER("scalar/mulsd", mulsd);
    INSTR_REGISTER("scalar/addsd", addsd);
    INSTR_REGISTER("scalar/subsd", subsd);
    INSTR_REGISTER("scalar/mulss", mulss);
    INSTR_REGISTER("scalar/addss", addss);
    INSTR_REGISTER("pair/sse/cvtpd2ps+cvtps2pd", roundtrip_pd);
    INSTR_REGISTER("pair/scalar/cvtsd2ss+cvtss2sd", roundtrip_sd);
    INSTR_REGISTER("pair/sse/cvtps2pd+mulpd", cvtps2pd_mulpd);
    INSTR_REGISTER("pair/sse/cvtpd2ps+shufps", cvtpd2ps_shufps);
    add("chain/rr_sample/latency", rr_sample_chain_lat);
    add("chain/single_sample/latency", ss_sample_chain_lat);
    add("chain/sse/rr_sample/latency", rr_sample4_chain_lat);
}

}  // namespace instr
