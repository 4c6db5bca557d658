// Runs a check once for every Highway target that this build compiled and this CPU supports,
// with the qo::simd dispatch pinned to that target, and logs which targets ran.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hwy/highway.h"
#include "hwy/targets.h"
#include "qo/qo_simd.h"

namespace qo::test {

template <class Check>
void forEachSimdTarget(Check&& check) {
  hwy::SetSupportedTargetsForTest(0);
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  std::string checked;
  for (int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    // Re-pick the table entry now rather than rely on the next call doing it.
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    const char* name = hwy::TargetName(target);
    ASSERT_STREQ(qo::simd::target(), name) << "dispatch is not pinned to the target under test";
    SCOPED_TRACE(std::string("target ") + name);
    check();
    checked += checked.empty() ? name : std::string(" ") + name;
    if (::testing::Test::HasFatalFailure()) break;
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  std::printf("[   SIMD   ] targets checked: %s\n", checked.c_str());
  ::testing::Test::RecordProperty("simd_targets", checked);
}

}  // namespace qo::test
