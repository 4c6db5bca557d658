// softmaxPlanes on every target: the softmax in double to a few units in the last place, the
// same bits on every target, and only the pixels of its range touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "compute/simd_targets.h"
#include "qo/qo_softmax.h"

namespace {

TEST(simdSoftmax, MatchesTheSoftmaxInDoubleWithTheSameBitsOnEveryTarget) {
  std::mt19937 rng(11);
  for (const size_t n : {size_t(1), size_t(3), size_t(16)}) {
    SCOPED_TRACE(::testing::Message() << n << " planes");
    // Pixels 0 .. 4 stay out of the range; 37 pixels in it leave a tail after any vector width.
    const size_t stride = 45, begin = 5, end = 42;
    std::vector<float> logits(n * stride);
    std::uniform_real_distribution<float> spread(-30.0f, 30.0f);
    for (float& f : logits) f = spread(rng);
    for (size_t k = 0; k < n; ++k) logits[k * stride + 7] = k == 0 ? 0.0f : -200.0f;  // far below the clamp
    for (size_t k = 0; k < n; ++k) logits[k * stride + 8] = 2.5f;                      // all equal
    std::vector<float> first;
    qo::test::forEachSimdTarget([&] {
      std::vector<float> w = logits;
      qo::simd::softmaxPlanes(w.data(), n, stride, begin, end);
      for (size_t p = 0; p < stride; ++p) {
        if (p < begin || p >= end) {
          for (size_t k = 0; k < n; ++k) ASSERT_EQ(w[k * stride + p], logits[k * stride + p]) << "pixel " << p;
          continue;
        }
        // exp in double of the float differences, which the kernel rounds as any float code would.
        float m = -1e30f;
        for (size_t k = 0; k < n; ++k) m = std::max(m, logits[k * stride + p]);
        const auto e = [&](size_t k) { return std::exp(double(logits[k * stride + p] - m)); };
        double sum = 0;
        for (size_t k = 0; k < n; ++k) sum += e(k);
        for (size_t k = 0; k < n; ++k) {
          const double want = e(k) / sum;
          ASSERT_NEAR(w[k * stride + p], want, 2e-6 * want + 1e-37) << "pixel " << p << " plane " << k;
        }
      }
      if (first.empty()) first = w;
      for (size_t i = 0; i < w.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(w[i]), std::bit_cast<uint32_t>(first[i])) << "element " << i;
    });
  }
}

}  // namespace
