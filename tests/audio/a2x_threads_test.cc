// Instances on several threads at once over one frontend: the lazy loads, the trunk length
// learned by whichever run comes first, and the sessions run concurrently.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"

namespace qo::audio {
namespace {

TEST(a2xThreads, ConcurrentInstancesMatchASerialRun) {
  devkit::DemoAudioOptions o;
  o.trunkDeclaresLT = false;  // learned from the first trunk run, by whichever thread gets there
  o.silencePrime = 8;         // and the silence features, computed once under their own lock
  test::AudioRig rig(o);
  const std::vector<float> audio = test::speechLike(3.0, 31);

  // Serial reference on a frontend of its own.
  test::AudioRig refRig(o);
  auto ref = refRig.create();
  const test::Frames want = test::streamAll(*ref, audio, 2048, 1);
  std::vector<float> wantBatch(75 * 63);
  ASSERT_EQ(ref->deltas(audio.data(), int(audio.size()), wantBatch.data(), nullptr, 75), 75);

  constexpr int kThreads = 3;
  std::vector<test::Frames> got(kThreads);
  std::vector<std::vector<float>> batch(kThreads, std::vector<float>(75 * 63));
  {
    test::ScopedEnv w2v("W2V_ONNX", rig.frontendPath().c_str());  // set before the threads start
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        auto a = A2x::create(rig.dir(), 1, rig.frontend());
        got[size_t(t)] = test::streamAll(*a, audio, 1000 + 700 * t, 1 + t);
        a->deltas(audio.data(), int(audio.size()), batch[size_t(t)].data(), nullptr, 75);
      });
    for (std::thread& th : threads) th.join();
  }
  EXPECT_EQ(rig.frontend().trunkLength(), devkit::kDemoTrunkColumns);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(got[size_t(t)].kp, want.kp) << "thread " << t;
    EXPECT_EQ(got[size_t(t)].wn, want.wn) << "thread " << t;
    EXPECT_EQ(batch[size_t(t)], wantBatch) << "thread " << t;
  }
}

}  // namespace
}  // namespace qo::audio
