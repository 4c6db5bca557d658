// The members of a motion directory: meta.json and the raw float32 tables, each read with its
// exact count.
#pragma once

#include <string>
#include <vector>

namespace qo::audio {

inline constexpr int kMotionDesc = 328;  // one motion description (exp, kp, pitch, roll, scale, t, yaw)
inline constexpr int kMotionRow = 265;   // one generated motion row (scale-1, pitch, yaw, roll, t, exp)
inline constexpr int kMotionCond = 1103; // one conditioning row (features, emotion, eyes, keypoints)
inline constexpr int kMelBands = 80, kMelBins = 257, kFftSize = 512;

struct MotionMeta {
  int nt = 0, nSrc = 0, nEmo = 0;
  float sBridge = 0, deltaPitch = 0;
};

// "nt", "n_src", "n_emo", "s_bridge" required, "delta_pitch" optional (0). Each value is found as
// the quoted key, then ':' after it, then a decimal number. Throws "meta.json: missing KEY",
// "meta.json: bad KEY" (no ':' or no number after it).
MotionMeta parseMotionMeta(const std::string& text);

// The whole file; throws "cannot open PATH" / "short read PATH".
std::string readWholeFile(const std::string& path);

// Exactly `count` float32 values; throws "cannot open PATH", "short read PATH", or
// "PATH: N floats, expected COUNT".
std::vector<float> readExactFloats(const std::string& path, size_t count);

struct MotionMembers {
  MotionMeta meta;
  std::vector<float> window;            // 512
  std::vector<float> binmat;            // 257 x 80
  std::vector<float> fmean, fstd;       // 1024 each
  std::vector<float> emo;               // n_emo x 8
  std::vector<float> chXsInfo;          // 328
  std::vector<float> chSc;              // 63
  std::vector<float> chEyeOpen;         // 2
  std::vector<float> chEyeBall;         // 6
  std::vector<float> vMinMax;           // 265 minima, 265 maxima
  std::vector<float> srcXsInfo;         // n_src x 328
  std::vector<float> target;            // nt x 63
};

// Reads and checks everything ("qo_motion: n_src != nt unsupported" when they differ).
MotionMembers readMotionMembers(const std::string& dir);

}  // namespace qo::audio
