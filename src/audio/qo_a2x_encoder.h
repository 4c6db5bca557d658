// The streaming encoder of qo_a2x: feature rows, positional rows and the attention mask in,
// one context vector of h floats (and optionally one "wn" value) per frame out.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <memory>
#include <string>
#include <vector>

namespace qo::audio {

// The positional table: npos rows of h floats.
struct PositionTable {
  std::vector<float> rows;
  int h = 0;
  int npos = 0;

  const float* row(int64_t frame) const;  // the row of positionRow(frame, npos)
};

class StreamEncoder {
 public:
  // Opens the graph and checks its interface: inputs "feat", "pos_window", "attn"; output 0 of
  // width h where the graph declares it. Throws std::runtime_error.
  StreamEncoder(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options, int h);
  ~StreamEncoder();

  bool hasWn() const { return hasWn_; }
  size_t outputCount() const { return outputCount_; }

  // Runs over feature rows [a, e) (`features` points at row a, 9216 floats per row) with the
  // positional rows of frames a..e-1 and a mask allowing key k for query r when
  // r - left <= k <= r + window. Copies the context of frames [c0, c1) to ctx (h floats per
  // frame, frame c0 first) and, when the graph has it, their "wn" values to wn.
  void run(const float* features, int a, int e, int c0, int c1, const PositionTable& pos, int window, int left,
           float* ctx, float* wn);

 private:
  std::unique_ptr<Ort::Session> session_;
  Ort::MemoryInfo mem_;
  int h_;
  size_t outputCount_ = 0;
  bool hasWn_ = false;
  std::string out0_, out1_;
  std::vector<float> posWindow_, mask_;  // grown to the largest window seen, then reused
};

}  // namespace qo::audio
