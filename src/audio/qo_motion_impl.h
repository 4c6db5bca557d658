// Private state of qo::audio::Motion, shared by its creation and streaming files.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/qo_motion.h"
#include "audio/qo_motion_graphs.h"
#include "audio/qo_motion_mel.h"
#include "audio/qo_motion_members.h"

namespace qo::audio {

inline constexpr int kMotionFrameSamples = 640;
inline constexpr int kWindowFrames = 5;      // conditioning rows per audio window
inline constexpr int kChunkRows = 80, kChunkHop = 70, kBlendRows = 10;
inline constexpr int kHoldBack = 11;         // rows an open utterance keeps back for the next blend
inline constexpr int kEagerMaxStep = 8;      // frames of audio between eager steps, at most
inline constexpr int kStudentFrames = 20, kStudentWidth = 1024;

struct Motion::Impl {
  MotionMembers mb;
  std::unique_ptr<Ort::Env> env;  // outlives the graphs
  std::unique_ptr<MotionGraph> student, generator, stitch;
  std::unique_ptr<MotionMel> mel;
  std::array<float, kMotionRow> sourceRow{};
  float ratio = 1;
  std::string dumpDir;
  bool dumpedWindow = false, dumpedChunk = false, dumpedFrame = false;

  // The utterance.
  std::vector<float> audio;
  bool finished = false;
  int nextWindow = 0;           // first frame of the next real window; = real conditioning rows
  std::vector<float> cond;      // kMotionCond per row; real rows, then speculative ones
  std::vector<float> gen;       // kMotionRow per generated row
  int chunks = 0;               // real generator chunks run
  std::vector<float> held;      // the generator's third input: its previous prediction
  int delivered = 0;
  bool haveE0 = false;
  std::array<float, 63> e0{};
  int rowStart = 0, rowDir = 1, rowLoop = 1;
  int eager = 0;

  // The eager step's speculation, withdrawn before real work.
  bool specChunk = false;
  int specGenBefore = 0;
  std::vector<float> specBlend, specHeld;
  int64_t lastEagerSamples = -1;

  // Scratch, allocated once.
  std::vector<float> window = std::vector<float>(kMelWindowSamples);
  std::array<float, kMotionRow> prepared{};
  std::array<float, 63> expD{};

  int framesTouched() const { return int((int64_t(audio.size()) + kMotionFrameSamples - 1) / kMotionFrameSamples); }
  int condRows() const { return int(cond.size() / kMotionCond); }
  int genRows() const { return int(gen.size() / kMotionRow); }
  int limit() const;
  bool windowReady() const;
  bool chunkReady() const;

  void advance();
  void runReal();
  void eagerStep();
  void withdraw();
  void processWindow(int w);
  void runChunk(int c);
  void emit(int* row, float* xs, float* xd);
  void resetUtterance(int start, int dir, int loop);
  void dump(const char* name, const float* data, size_t n);
};

}  // namespace qo::audio
