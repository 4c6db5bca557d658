// Sustained issue rate of the 256-bit instructions the convolutions are built from, so a kernel's
// speed can be read against what the core can do: the exact int16 pair multiply-add plus its
// int32 add (vpmaddwd + vpaddd, 16 MACs), against a float FMA (vfmadd231ps, 8 MACs). Each case
// runs 12 independent accumulators (more than latency x issue width) with no memory operands, or
// with the conv's operand pattern (a 32-bit broadcast plus a weight load per group). Counters:
// instructions and MACs per nominal cycle of the thread's CPU time (TSC ticks per ns, measured
// in the run, times CPU ns), so time the core spent on other processes is not counted. The core
// may boost above nominal: compare cases with each other (FMA issues 2 per cycle on this class of
// core), not with an absolute count.
//   build/bench/qo_bench_issue_rate --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "compute/fma_chains.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <x86intrin.h>
#define QO_RATE_X86 1
#endif

namespace {

#ifdef QO_RATE_X86

constexpr int64_t kIters = 1 << 16;

bool haveAvx2Fma() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

#define QO_R12(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11)

// 12 x vpmaddwd writing fresh registers: the multiplier's own rate.
__attribute__((noinline)) void maddOnly(int64_t n) {
#define OP(i) "vpmaddwd %%ymm12, %%ymm13, %%ymm" #i "\n\t"
  asm volatile(
      "1:\n\t" QO_R12(OP) "dec %0\n\t"
                          "jnz 1b\n\t"
      : "+r"(n)
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "cc");
#undef OP
}

// 12 x (vpmaddwd into a temporary, vpaddd into an accumulator): the exact-sum pair.
__attribute__((noinline)) void maddAdd(int64_t n) {
#define OP(i) "vpmaddwd %%ymm12, %%ymm13, %%ymm14\n\tvpaddd %%ymm14, %%ymm" #i ", %%ymm" #i "\n\t"
  asm volatile(
      "1:\n\t" QO_R12(OP) "dec %0\n\t"
                          "jnz 1b\n\t"
      : "+r"(n)
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm14",
        "cc");
#undef OP
}

// The conv's inner step: one weight vector load, then per pixel a 32-bit broadcast and a madd + add
// (3 weight vectors x 4 pixels = 12 accumulators, as a register-blocked tile runs it).
__attribute__((noinline)) void maddAddLoads(int64_t n, const int16_t* x, const int16_t* w) {
#define PIX(p, a0, a1, a2)                                 \
  "vpbroadcastd " #p "*4(%1), %%ymm15\n\t"                 \
  "vpmaddwd %%ymm12, %%ymm15, %%ymm14\n\t"                 \
  "vpaddd %%ymm14, %%ymm" #a0 ", %%ymm" #a0 "\n\t"         \
  "vpmaddwd %%ymm13, %%ymm15, %%ymm14\n\t"                 \
  "vpaddd %%ymm14, %%ymm" #a1 ", %%ymm" #a1 "\n\t"         \
  "vpmaddwd 64(%2), %%ymm15, %%ymm14\n\t"                  \
  "vpaddd %%ymm14, %%ymm" #a2 ", %%ymm" #a2 "\n\t"
  asm volatile(
      "1:\n\t"
      "vmovdqu (%2), %%ymm12\n\t"
      "vmovdqu 32(%2), %%ymm13\n\t" PIX(0, 0, 1, 2) PIX(1, 3, 4, 5) PIX(2, 6, 7, 8) PIX(3, 9, 10, 11)
      "dec %0\n\t"
      "jnz 1b\n\t"
      : "+r"(n)
      : "r"(x), "r"(w)
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15", "cc", "memory");
#undef PIX
}

// Float sums start at zero: left-over register contents can be subnormal, and subnormal FMAs run
// about a hundred times slower.
#define QO_ZERO(i) "vxorps %%ymm" #i ", %%ymm" #i ", %%ymm" #i "\n\t"

// The float conv's inner step: a broadcast per pixel, FMAs against loaded weights.
__attribute__((noinline)) void fmaLoads(int64_t n, const float* x, const float* w) {
#define PIX(p, a0, a1, a2)                           \
  "vbroadcastss " #p "*4(%1), %%ymm15\n\t"           \
  "vfmadd231ps %%ymm12, %%ymm15, %%ymm" #a0 "\n\t"   \
  "vfmadd231ps %%ymm13, %%ymm15, %%ymm" #a1 "\n\t"   \
  "vfmadd231ps 64(%2), %%ymm15, %%ymm" #a2 "\n\t"
  asm volatile(
      QO_R12(QO_ZERO) "1:\n\t"
      "vmovups (%2), %%ymm12\n\t"
      "vmovups 32(%2), %%ymm13\n\t" PIX(0, 0, 1, 2) PIX(1, 3, 4, 5) PIX(2, 6, 7, 8) PIX(3, 9, 10, 11)
      "dec %0\n\t"
      "jnz 1b\n\t"
      : "+r"(n)
      : "r"(x), "r"(w)
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15", "cc", "memory");
#undef PIX
}

alignas(64) int16_t gX16[64];
alignas(64) int16_t gW16[64];
alignas(64) float gXf[32];
alignas(64) float gWf[32];

struct Case {
  const char* name;
  int instrPerIter;  // counted vector arithmetic instructions (madd, or FMA)
  int macPerInstr;
  void (*run)(int64_t);
};

const Case kCases[] = {
    {"vpmaddwd", 12, 16, maddOnly},
    {"vpmaddwd+vpaddd", 12, 16, maddAdd},
    {"vpmaddwd+vpaddd/conv_operands", 12, 16, [](int64_t n) { maddAddLoads(n, gX16, gW16); }},
    {"vfmadd231ps", qo::bench::kFmaChains, 8, qo::bench::fmaChainsYmm},
    {"vfmadd231ps/conv_operands", 12, 8, [](int64_t n) { fmaLoads(n, gXf, gWf); }},
};

std::map<std::string, double> gMacPerCycle;

double threadNs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double wallNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double tscPerNs() {
  static const double rate = [] {
    const double w0 = wallNs();
    const uint64_t t0 = __rdtsc();
    while (wallNs() - w0 < 2e7) {
    }
    return double(__rdtsc() - t0) / (wallNs() - w0);
  }();
  return rate;
}

void BM_Rate(benchmark::State& state, const Case* c) {
  if (!haveAvx2Fma()) {
    state.SkipWithError("needs AVX2 and FMA");
    return;
  }
  double cpuNs = 0;
  int64_t iters = 0;
  for (auto _ : state) {
    const double t0 = threadNs();
    c->run(kIters);
    cpuNs += threadNs() - t0;
    iters += kIters;
  }
  const double perCycle = double(iters) * c->instrPerIter / (cpuNs * tscPerNs());
  state.counters["instr/cycle"] = perCycle;
  state.counters["MAC/cycle"] = perCycle * c->macPerInstr;
  double& best = gMacPerCycle[c->name];
  best = std::max(best, perCycle * c->macPerInstr);
}

#endif  // QO_RATE_X86

}  // namespace

int main(int argc, char** argv) {
#ifdef QO_RATE_X86
  for (const Case& c : kCases)
    benchmark::RegisterBenchmark((std::string("issue_rate/") + c.name).c_str(), BM_Rate, &c)
        ->Unit(benchmark::kMicrosecond);
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
#ifdef QO_RATE_X86
  std::printf("\nTSC %.3f GHz; best of the runs:\n%-34s %12s\n", tscPerNs(), "case", "MAC/cycle");
  for (const auto& [name, mac] : gMacPerCycle) std::printf("%-34s %12.2f\n", name.c_str(), mac);
#else
  std::printf("issue-rate cases are written for x86-64 only\n");
#endif
  benchmark::Shutdown();
  return 0;
}
