// Small helpers shared by the compositor tests.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "paste/paste_fixtures.h"
#include "paste/qo_paste.h"
#include "support/test_support.h"

namespace qo::test {

inline const char* fastValue(ref::Sampling s) {
  switch (s) {
    case ref::Sampling::kBicubic: return "1";
    case ref::Sampling::kBilinear: return "2";
    default: return "0";
  }
}

// A compositor in the given sampling mode; the environment is read at construction only.
inline Paste pasteIn(ref::Sampling s, std::vector<uint8_t> mask, int side, const Unsharp& u) {
  ScopedEnv fast("QO_PASTE_FAST", fastValue(s));
  ScopedEnv ksize("QO_PASTE_KSIZE", nullptr);
  return Paste(std::move(mask), side, u);
}

inline const ref::Sampling kAllSamplings[] = {ref::Sampling::kLanczos8, ref::Sampling::kBicubic,
                                              ref::Sampling::kBilinear};

inline std::string samplingName(const testing::TestParamInfo<ref::Sampling>& info) {
  switch (info.param) {
    case ref::Sampling::kBicubic: return "Bicubic";
    case ref::Sampling::kBilinear: return "Bilinear";
    default: return "Lanczos8";
  }
}

}  // namespace qo::test

namespace qo::ref {
inline void PrintTo(Sampling s, std::ostream* os) { *os << "QO_PASTE_FAST=" << test::fastValue(s); }
}  // namespace qo::ref
