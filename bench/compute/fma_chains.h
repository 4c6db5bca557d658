// Twelve independent float FMA chains per iteration (more than latency x pipes), registers only:
// the core's sustained FMA rate, at 256 bits and, where the CPU has AVX-512, at 512. The operands
// start as 1 and the sums at 0: left-over register contents can be subnormal, and subnormal FMAs
// run about a hundred times slower. Each call runs n iterations of kFmaChains FMAs.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QO_FMA_CHAINS_X86 1

namespace qo::bench {

inline constexpr int kFmaChains = 12;

#define QO_FMA_OP(R, i) "vfmadd231ps %%" R "12, %%" R "13, %%" R #i "\n\t"
#define QO_FMA12(R)                                                                                      \
  QO_FMA_OP(R, 0) QO_FMA_OP(R, 1) QO_FMA_OP(R, 2) QO_FMA_OP(R, 3) QO_FMA_OP(R, 4) QO_FMA_OP(R, 5) QO_FMA_OP(R, 6) \
      QO_FMA_OP(R, 7) QO_FMA_OP(R, 8) QO_FMA_OP(R, 9) QO_FMA_OP(R, 10) QO_FMA_OP(R, 11)
#define QO_ZERO_OP(Z, R, i) Z " %%" R #i ", %%" R #i ", %%" R #i "\n\t"
#define QO_ZERO12(Z, R)                                                                                  \
  QO_ZERO_OP(Z, R, 0) QO_ZERO_OP(Z, R, 1) QO_ZERO_OP(Z, R, 2) QO_ZERO_OP(Z, R, 3) QO_ZERO_OP(Z, R, 4)         \
      QO_ZERO_OP(Z, R, 5) QO_ZERO_OP(Z, R, 6) QO_ZERO_OP(Z, R, 7) QO_ZERO_OP(Z, R, 8) QO_ZERO_OP(Z, R, 9)     \
          QO_ZERO_OP(Z, R, 10) QO_ZERO_OP(Z, R, 11)
// Z: the integer xor of the width, which zeroes the sums.
#define QO_FMA_LOOP(NAME, TARGET, R, Z)                                                                 \
  inline __attribute__((noinline, target(TARGET))) void NAME(int64_t n) {                              \
    static const float one = 1.0f;                                                                     \
    asm volatile("vbroadcastss %1, %%" R "12\n\tvbroadcastss %1, %%" R "13\n\t" QO_ZERO12(Z, R)             \
                 "1:\n\t" QO_FMA12(R) "dec %0\n\tjnz 1b\n\t"                                              \
                 : "+r"(n)                                                                             \
                 : "m"(one)                                                                            \
                 : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
                   "xmm11", "xmm12", "xmm13", "cc");                                                   \
  }
QO_FMA_LOOP(fmaChainsYmm, "avx2,fma", "ymm", "vpxor")
QO_FMA_LOOP(fmaChainsZmm, "avx512f", "zmm", "vpxord")
#undef QO_FMA_LOOP
#undef QO_ZERO12
#undef QO_ZERO_OP
#undef QO_FMA12
#undef QO_FMA_OP

}  // namespace qo::bench

#endif
