// The utterance instance behind qo_utt: configuration, the state shared under the main lock, the
// dispatch mailbox, and the run-thread state. Threads: run (speech, ramp and idle production),
// warm-up (model load), dispatch (the only caller of the model) and, when pasting is pipelined,
// paste (frame assembly).
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi/qo_ctx.h"
#include "pipeline/qo_motion_model.h"
#include "qo/qo_utt.h"
#include "tessera/qo_tessera_stream.h"

namespace qo::utt {

double nowMs();

struct Config {
  std::string motionDir;
  int threads = 1;
  std::string motionEp;
  std::string steadyModel = "b24_fp32";
  int eager = -1;
  bool hybrid = false;
  double silenceMs = 600;
  int rampEnd = 6;
  int rampInterrupt = 4;
  bool isA2x = false;
  bool pipelinePaste = false;

  static Config from(const qo_ctx& ctx, const qo_utt_opts& opts);
};

struct FrameSlot {
  std::vector<uint8_t> pixels;
  int64_t frameNo = 0;
  int32_t kind = 0, driverIdx = 0, seq = -1;
  std::array<float, 63> kp{};
};

struct PasteJob {
  std::vector<float> crop;
  bool hasCrop = false;
  int32_t kind = 0, driverIdx = 0, seq = -1;
  std::array<float, 63> kp{};
  uint64_t generation = 0;
  double createdMs = 0;
};

struct Delivered {
  int32_t kind = -1, driverIdx = 0, seq = -1;
  std::array<float, 63> kp{};
};

// One request to the dispatch thread and its response.
struct DispatchMailbox {
  std::mutex mu;
  std::condition_variable cv;
  bool request = false, done = false, stop = false;
  // Request.
  MotionModel* model = nullptr;
  std::vector<float> audio;
  bool reset = false;
  int resetStart = 0, resetDir = 1;
  bool finish = false;
  int eager = 0;  // 0: unchanged
  int maxFrames = 0;
  // Response.
  int pulled = 0, remaining = 0, total = -1;
  std::vector<int> rows;
  std::vector<float> base, kp;
};

// What became of a frame handed towards the ring.
enum class Handoff {
  kPublished,  // in the ring, or queued for the paste thread
  kDropped,    // made obsolete by stop or an interrupt
  kFailed,     // the driver decode or the paste failed (recorded in the render status)
};

// The attached teeth borrow and what the C functions report about it (under the main lock). The
// driving thread (run thread, or the tessera thread when pasting is pipelined) takes its own
// reference to the borrow per frame, so an attach never frees a borrow in use.
struct BorrowState {
  std::shared_ptr<tessera::StreamBorrow> borrow;
  uint64_t epoch = 0;  // bumped by every attach
  int64_t written = 0, skipped = 0;
  std::string reason, geometry;
  bool degraded = false, pipelined = false;
  tessera::PassStats stats;  // copy taken after every frame, for a consistent read
};

// The arrays an attach takes (caller-owned, read during the call only).
struct AttachArgs {
  const uint8_t* bands = nullptr;
  int n_donors = 0;
  const double *cent = nullptr, *c_canon = nullptr, *aperture = nullptr;
  const int32_t* stamp = nullptr;
  const uint8_t* head_pt = nullptr;
  int head_pt_len = 0;
  const char *head_json = nullptr, *manifest_json = nullptr;
};

struct StageCounters {
  double aMs = 0, aWaitMs = 0, bMs = 0, cMs = 0, deliverLatMs = 0;
  int64_t speechRendered = 0, jobsB = 0, jobsC = 0, latFrames = 0, speechDelivered = 0;
};

class Utterance {
 public:
  static constexpr int kRing = 8;
  static constexpr int kBatch = 32;

  Utterance(qo_ctx* ctx, const qo_utt_opts& opts);
  ~Utterance();

  // Host side (Part of the C API).
  int ready(std::string* error);
  void pushAudio(const int16_t* pcm, int n);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  int pullFrame(uint8_t* dst, size_t cap, qo_utt_frame_info* info, bool* tooSmall);
  void stats(qo_utt_stats* out);
  int renderStatus(char* msg, int cap, int64_t* failures);
  void noteRenderFail(const char* stage, const std::string& text, bool fatal);

  // Teeth borrow (qo_utt_tessera.cc). attachBorrow throws with the attach's refusal texts.
  void attachBorrow(const AttachArgs& args);
  int borrowStats(int64_t* written, int64_t* skipped, std::string* reason);
  bool borrowSynth(double* mean, double* max, int64_t* frames);
  bool borrowGeometry(std::string* name);
  // Sees every crop as it enters the borrow, on the driving thread (tests compare the stream with
  // the batch pass on exactly these crops). Set before the first attach.
  std::function<void(const PasteJob&)> borrowInputTap;

 private:
  // Threads.
  void warm();
  void dispatchLoop();
  void run();
  void pasteLoop();

  // Run thread.
  void handleInterrupt(uint64_t gen);
  void collectJob();
  void postRequest(std::vector<float> audio, int eager, int maxFrames);
  bool dispatchDone();
  int ready() const { return batchCount_ - batchCursor_; }
  bool renderSpeech(int n);
  bool produceRamp();
  void endOfUtterance();

  // Idle production pauses after a failure (see noteOutcomes).
  void noteOutcomes(int64_t failures, int64_t published);

  // Frame assembly.
  Handoff enqueue(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms);
  Handoff enqueueRaw(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms);
  Handoff enqueuePipe(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms);
  bool pasteInto(const PasteJob& job);
  // Fills one ring slot outside the lock and publishes it unless stop or a new generation came.
  Handoff fillAndPublish(const float* crop, int kind, int driverIdx, int seq, const float* kp, uint64_t gen,
                         double* ms);
  void printStageReport();

  // The borrow stage (qo_utt_borrow.cc). borrowStep runs on the driving thread: it feeds one job
  // to the borrow and passes on the frame the borrow released (synchronously into the ring, or to
  // the paste queue); an idle job drains the held frame first.
  Handoff queueJob(std::deque<PasteJob>& queue, std::condition_variable& cv, const float* crop, int kind,
                   int driverIdx, int seq, const float* kp, double* ms);
  Handoff enqueueBorrowSync(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms);
  Handoff borrowStep(PasteJob& job, double* ms);
  Handoff borrowDeliver(PasteJob& job, double* ms);
  Handoff borrowDrain(const std::shared_ptr<tessera::StreamBorrow>& b, uint64_t epoch, double* ms);
  Handoff borrowEmitHeld(const std::shared_ptr<tessera::StreamBorrow>& b, uint64_t epoch, double* ms);
  void borrowForget(const std::shared_ptr<tessera::StreamBorrow>& b);
  void borrowNote(uint64_t epoch, int written, int skipped, const std::string* degradedWhy,
                  const tessera::StreamBorrow* b);
  Handoff pushPaste(PasteJob&& job);
  void tessLoop();
  void startTessThread();
  void borrowInterrupted(uint64_t gen);

  qo_ctx* ctx_;
  Config cfg_;
  std::vector<float> target_;  // NT x 63, empty when absent or the wrong size
  const int nt_;
  const size_t frameBytes_, cropFloats_;

  // Shared under mu_ (the main lock).
  std::mutex mu_;
  std::condition_variable cvMain_, cvPaste_;
  std::vector<float> audio_;
  bool endRequested_ = false;
  uint64_t generation_ = 0;
  bool stop_ = false, pasteStop_ = false;
  double lastPushMs_ = 0, firstPushMs_ = 0;
  bool havePush_ = false;
  std::unique_ptr<MotionModel> motion_;
  bool loadFailed_ = false;
  std::string loadError_;
  std::array<FrameSlot, kRing> ring_;
  uint64_t readIdx_ = 0, writeIdx_ = 0;
  int64_t frameNo_ = 0;
  Delivered lastDelivered_;
  qo_utt_stats stats_{};
  int state_ = 0;
  int64_t renderFailures_ = 0;
  std::string renderMessage_;
  bool renderFatal_ = false;
  std::deque<PasteJob> pasteJobs_;
  std::vector<std::vector<float>> spareCrops_;  // recycled job buffers: no per-frame allocation
  StageCounters stage_;
  double utteranceStartMs_ = 0;
  BorrowState borrow_;
  std::condition_variable cvTess_;
  std::deque<PasteJob> tessJobs_;
  bool tessStop_ = false;

  std::unique_ptr<Renderer> chunk_;  // the steady chunk renderer, installed by warm-up
  DispatchMailbox mail_;

  // Run-thread state.
  uint64_t seenGeneration_ = 0;
  bool inUtterance_ = false, audioEnded_ = false, finishSent_ = false, resetPending_ = false;
  bool inFlight_ = false;
  uint64_t inFlightGeneration_ = 0;
  bool haveLastKp_ = false;
  int speechSeq_ = 0;
  std::vector<int> batchRows_;
  std::vector<float> batchBase_, batchKp_;
  int batchCursor_ = 0, batchCount_ = 0;
  int pulledTotal_ = 0, remainingAvail_ = 0, total_ = -1;
  std::vector<float> pending_;
  int idleIdx_ = 0, dir_ = 1;
  std::array<float, 63> lastKp_{};
  int lastDriver_ = 0;
  std::array<float, 63> rampOffset_{};
  int rampTotal_ = 0, rampRemaining_ = 0;
  int eagerSent_ = -1000000;
  int hybridMode_ = 0;
  std::vector<float> chunkCrops_;
  int64_t failuresSeen_ = 0, publishedSeen_ = 0;
  double idleBackoffMs_ = 0, idleResumeMs_ = 0;

  // Borrow-driving state: the run thread's in synchronous mode, the tessera thread's when pipelined.
  PasteJob held_, syncJob_;
  bool hasHeld_ = false;
  uint64_t driveEpoch_ = 0, driveGeneration_ = 0;
  tessera::FrameResult tessResult_, tessScratch_;

  std::thread runThread_, warmThread_, dispatchThread_, pasteThread_, tessThread_;
};

}  // namespace qo::utt

struct qo_utt {
  explicit qo_utt(qo_ctx* ctx, const qo_utt_opts& opts) : impl(ctx, opts) {}
  qo::utt::Utterance impl;
};
