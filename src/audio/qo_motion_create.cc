// Building a qo_motion instance: members, the source motion row, the three graphs.
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audio/qo_motion_impl.h"
#include "audio/qo_motion_pose.h"
#include "qo/qo_pool.h"

namespace qo::audio {

Motion::Motion(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Motion::~Motion() = default;

std::unique_ptr<Motion> Motion::create(const std::string& dir, int threads, const std::string& ep) {
  auto s = std::make_unique<Impl>();
  const int nthreads = threads < 1 ? pool::threads() : threads;
  s->mb = readMotionMembers(dir);
  sourceMotionRow(s->mb.chXsInfo.data(), s->sourceRow.data());
  const float srcScale = s->mb.srcXsInfo[kDescScale];
  if (!(std::isfinite(srcScale) && srcScale != 0.0f))
    throw std::runtime_error(dir + "/src_xs_info.bin: the first row's scale is " + std::to_string(srcScale) +
                             "; the lip motion is scaled by the character's scale over it, so it must be finite and "
                             "non-zero");
  s->ratio = s->mb.chXsInfo[kDescScale] / srcScale;

  const Ort::SessionOptions options = motionSessionOptions(nthreads, ep, dir);
  s->env = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "qo_motion");
  s->student = std::make_unique<MotionGraph>(*s->env, dir + "/hubert_student.onnx", options,
                                             std::vector<std::vector<int64_t>>{{1, kMelBands, kMelFrames}},
                                             std::vector<int64_t>{1, kStudentFrames, kStudentWidth});
  s->generator = std::make_unique<MotionGraph>(
      *s->env, dir + "/lmdm.onnx", options,
      std::vector<std::vector<int64_t>>{{1, kMotionRow}, {1, kChunkRows, kMotionCond}, {1, kChunkRows, kMotionRow}},
      std::vector<int64_t>{1, kChunkRows, kMotionRow});
  s->stitch = std::make_unique<MotionGraph>(*s->env, dir + "/stitch.onnx", options,
                                            std::vector<std::vector<int64_t>>{{1, 63}, {1, 63}},
                                            std::vector<int64_t>{1, 21, 3});
  s->mel = std::make_unique<MotionMel>(s->mb.window, s->mb.binmat);
  if (const char* d = std::getenv("QO_MOTION_DUMP"); d && *d) s->dumpDir = d;
  s->resetUtterance(0, 1, 1);
  return std::unique_ptr<Motion>(new Motion(std::move(s)));
}

}  // namespace qo::audio
