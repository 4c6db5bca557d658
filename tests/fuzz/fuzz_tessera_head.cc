// Fuzzes the head-weights loader: stored-ZIP walk and the restricted pickle interpreter.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tessera/qo_tessera.h"
#include "tests/fuzz/fuzz_seeds.h"
#include "tools/devkit/demo_tessera.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace qo::devkit;
  std::vector<PtTensor> shared = {{"cand.0.weight", {16, 7, 3, 3}, "0"}, {"cand.0.bias", {16}, "0", 1000}};
  qo::fuzz::writeSeedsIfAsked({
      demoHeadPt(true),
      demoHeadPt(false),
      storedZip({{"archive/data.pkl", pickleStateDict(shared)}, {"archive/data/0", std::string(4200, '\1')}}),
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  try {
    const qo::tessera::HeadWeights w = qo::tessera::loadHeadPt(copy, size);
    const size_t n = w.params();
    if (n != 4082 && n != 3489) std::abort();
    if (w.cand0_w.size() != 16 * 7 * 9 || w.cand4_b.size() != 1) std::abort();
    if (w.hasSynthesis() != (n == 4082)) std::abort();
  } catch (const std::runtime_error&) {
  }
  std::free(copy);
  return 0;
}
