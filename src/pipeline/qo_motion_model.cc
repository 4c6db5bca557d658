#include "pipeline/qo_motion_model.h"

#include "bundle/qo_fs.h"
#include "qo/qo_a2x.h"
#include "qo/qo_bundle.h"
#include "qo/qo_motion.h"

namespace qo::utt {
namespace {

class A2xModel final : public MotionModel {
 public:
  explicit A2xModel(qo_a2x* m) : m_(m) {}
  ~A2xModel() override { qo_a2x_destroy(m_); }
  void reset(int start, int dir, int loop) override { qo_a2x_reset(m_, start, dir, loop); }
  void setEager(int eager) override { qo_a2x_set_eager(m_, eager); }
  void push(const float* samples, int n) override { qo_a2x_push(m_, samples, n); }
  void finish() override { qo_a2x_finish(m_); }
  int avail() override { return qo_a2x_avail(m_); }
  int pull(int* rows, float* base, float* kp, int max) override { return qo_a2x_pull(m_, rows, base, kp, max); }
  int total() override { return qo_a2x_total(m_); }
  int nt() override { return qo_a2x_nt(m_); }
  bool negativeAvailIsFailure() const override { return false; }

 private:
  qo_a2x* m_;
};

class QoMotionModel final : public MotionModel {
 public:
  explicit QoMotionModel(qo_motion* m) : m_(m) {}
  ~QoMotionModel() override { qo_motion_destroy(m_); }
  void reset(int start, int dir, int loop) override { qo_motion_reset(m_, start, dir, loop); }
  void setEager(int eager) override { qo_motion_set_eager(m_, eager); }
  void push(const float* samples, int n) override { qo_motion_push(m_, samples, n); }
  void finish() override { qo_motion_finish(m_); }
  int avail() override { return qo_motion_avail(m_); }
  int pull(int* rows, float* base, float* kp, int max) override { return qo_motion_pull(m_, rows, base, kp, max); }
  int total() override { return qo_motion_total(m_); }
  int nt() override { return qo_motion_nt(m_); }
  bool negativeAvailIsFailure() const override { return true; }

 private:
  qo_motion* m_;
};

}  // namespace

bool holdsA2x(const std::string& dir) {
  return fs::canRead(resolveMember(dir, "a2x_enc_stream.onnx"));
}

std::unique_ptr<MotionModel> loadMotionModel(const std::string& dir, bool a2x, int threads, const std::string& ep,
                                             std::string* error) {
  if (a2x) {
    qo_a2x* m = qo_a2x_create(dir.c_str(), threads);
    if (!m) {
      *error = qo_a2x_last_error();
      return nullptr;
    }
    return std::make_unique<A2xModel>(m);
  }
  qo_motion* m = qo_motion_create(dir.c_str(), threads, ep.c_str());
  if (!m) {
    *error = qo_motion_last_error();
    return nullptr;
  }
  return std::make_unique<QoMotionModel>(m);
}

}  // namespace qo::utt
