// Private state of qo::audio::A2x, shared by its creation, streaming and batch files.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/qo_a2x.h"
#include "audio/qo_a2x_decoder.h"
#include "audio/qo_a2x_encoder.h"
#include "audio/qo_feature_stream.h"
#include "audio/qo_ort_setup.h"

namespace qo::audio {

inline constexpr int kKp = 63;
inline constexpr int kStreamChunk = 64;  // encoder frames per streaming run
inline constexpr int kBatchChunk = 24;   // encoder frames per batch run

struct A2x::Impl {
  explicit Impl(SpeechFrontend& fe) : frontend(fe) {}

  SpeechFrontend& frontend;
  std::unique_ptr<Ort::Env> env;             // outlives the sessions below
  std::unique_ptr<SessionSetup> setup;       // shared by encoder and decoder
  Ort::Session* w2v = nullptr;               // the shared legacy frontend (not owned)
  std::unique_ptr<StreamEncoder> enc;
  std::unique_ptr<StepDecoder> dec;

  int h = 0, window = 0, left = 0, NT = 0;
  int leftTotal = 0, aheadTotal = 0;
  int right = 12, blockRight = 12;
  bool shortWindow = false;
  PositionTable pos;
  std::vector<float> mean, std, target;
  bool hasWn = false;
  std::vector<float> batchWn;

  // The utterance.
  std::vector<float> audio;
  bool finished = false;
  int delivered = 0;
  int rowStart = 0, rowDir = 1, rowLoop = 1;
  int eager = -1;
  std::unique_ptr<FeatureStream> features;
  std::vector<float> ctx, wn, deltas;
  int encDone = 0, decDone = 0;
  std::vector<float> prev, hidden;
  std::vector<float> primedPrev, primedHidden;

  int framesTouched() const;  // F = ceil(samples / 640)
  int usableFrames() const;   // U while open, F after finish
  int limit() const;          // L: frames that may be computed now
  AudioView audioView() const;
  int rowOf(int64_t frame) const;

  void extend(int want);
  void extendReporting(int want);  // errors go to the family's last error
  void encodeTo(int ret, int usable);
  void decodeTo(int ret);
  void resetUtterance(int start, int dir, int loop);
  void primeWithSilence(int frames);
};

}  // namespace qo::audio
