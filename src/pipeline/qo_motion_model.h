// The audio-to-motion model an utterance instance drives, behind one interface: the streaming
// qo_a2x when the motion directory holds "a2x_enc_stream.onnx", else qo_motion. Only the
// instance's dispatch thread calls it (and its warm-up thread before publishing it).
#pragma once

#include <memory>
#include <string>

namespace qo::utt {

class MotionModel {
 public:
  virtual ~MotionModel() = default;
  virtual void reset(int start, int dir, int loop) = 0;
  virtual void setEager(int eager) = 0;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  virtual int pull(int* rows, float* base, float* kp, int max) = 0;
  virtual int total() = 0;
  virtual int nt() = 0;
  // qo_motion reports failures as negative counts; qo_a2x never does.
  virtual bool negativeAvailIsFailure() const = 0;
};

// True when `dir` holds the streaming encoder (qo_a2x serves it).
bool holdsA2x(const std::string& dir);

// Loads the model of `dir`; nullptr with *error set to the family's last-error text on failure.
std::unique_ptr<MotionModel> loadMotionModel(const std::string& dir, bool a2x, int threads, const std::string& ep,
                                             std::string* error);

}  // namespace qo::utt
