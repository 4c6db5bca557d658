// The teeth borrow between the renderer and the ring: on the run thread (synchronous paste) or on
// the tessera thread ahead of the paste queue (pipelined). The borrow works one frame behind: the
// crop pushed now releases the previous one with its borrowed mouth window written in.
//
// A frame the borrow cannot serve (a skipped mouth, a failed push or write-back, a degraded borrow)
// still goes on, without the borrowed teeth: a failing borrow must not freeze the stream.
#include <cstring>
#include <utility>

#include "pipeline/qo_utt_impl.h"

namespace qo::utt {
namespace {

const char kFlushEmpty[] =
    "flush: the pass held no pending frame while a crop was held \xE2\x80\x94 refusing to deliver it uncomposed";

}  // namespace

Handoff Utterance::enqueueBorrowSync(const float* crop, int kind, int driverIdx, int seq, const float* kp,
                                     double* ms) {
  PasteJob& job = syncJob_;
  job.hasCrop = crop != nullptr;
  if (crop) job.crop.assign(crop, crop + cropFloats_);
  job.kind = kind;
  job.driverIdx = driverIdx;
  job.seq = seq;
  if (kp) std::memcpy(job.kp.data(), kp, sizeof(float) * 63);
  else job.kp.fill(0.0f);
  job.generation = seenGeneration_;
  job.createdMs = nowMs();
  return borrowStep(job, ms);
}

// Counts and degradation apply only to the borrow they were measured on (an attach resets them).
void Utterance::borrowNote(uint64_t epoch, int written, int skipped, const std::string* degradedWhy,
                           const tessera::StreamBorrow* b) {
  std::lock_guard<std::mutex> lock(mu_);
  if (borrow_.epoch != epoch) return;
  borrow_.written += written;
  borrow_.skipped += skipped;
  if (degradedWhy) {
    borrow_.degraded = true;
    borrow_.reason = *degradedWhy;
  }
  if (b) borrow_.stats = b->stats();
}

// Discards whatever the pass holds (after an interrupt or a failure), ignoring a failing flush.
void Utterance::borrowForget(const std::shared_ptr<tessera::StreamBorrow>& b) {
  if (!b) return;
  try {
    b->flush(tessScratch_);
  } catch (...) {
  }
}

Handoff Utterance::borrowDeliver(PasteJob& job, double* ms) {
  if (cfg_.pipelinePaste) return pushPaste(std::move(job));
  return fillAndPublish(job.hasCrop ? job.crop.data() : nullptr, job.kind, job.driverIdx, job.seq,
                        job.kind == 0 ? nullptr : job.kp.data(), job.generation, ms);
}

// tessResult_ holds the pass's result for the held frame.
Handoff Utterance::borrowEmitHeld(const std::shared_ptr<tessera::StreamBorrow>& b, uint64_t epoch, double* ms) {
  hasHeld_ = false;
  if (tessResult_.skipped) {
    borrowNote(epoch, 0, 1, &tessResult_.reason, b.get());
    return borrowDeliver(held_, ms);
  }
  const double t0 = nowMs();
  try {
    tessera::StreamBorrow::writeWindowDelta(held_.crop.data(), int(ctx_->manifest.crop), tessResult_, b->stamp());
  } catch (const std::exception& e) {
    const std::string why = e.what();
    borrowNote(epoch, 0, 1, &why, b.get());
    return borrowDeliver(held_, ms);
  }
  const double dt = nowMs() - t0;
  if (cfg_.pipelinePaste) {
    std::lock_guard<std::mutex> lock(mu_);
    stage_.bMs += dt;
  } else if (ms) {
    *ms += dt;
  }
  borrowNote(epoch, 1, 0, nullptr, b.get());
  return borrowDeliver(held_, ms);
}

Handoff Utterance::borrowDrain(const std::shared_ptr<tessera::StreamBorrow>& b, uint64_t epoch, double* ms) {
  if (!hasHeld_) return Handoff::kPublished;
  bool got = false;
  std::string why;
  try {
    got = b && b->flush(tessResult_);
    if (!got) why = kFlushEmpty;
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (got) return borrowEmitHeld(b, epoch, ms);
  hasHeld_ = false;
  borrowNote(epoch, 0, 1, &why, b.get());
  return borrowDeliver(held_, ms);
}

Handoff Utterance::borrowStep(PasteJob& job, double* ms) {
  std::shared_ptr<tessera::StreamBorrow> b;  // keeps the borrow alive through this step
  uint64_t epoch;
  bool degraded;
  {
    std::lock_guard<std::mutex> lock(mu_);
    b = borrow_.borrow;
    epoch = borrow_.epoch;
    degraded = borrow_.degraded;
  }
  if (epoch != driveEpoch_) {
    // Re-attached: the frame the old pass holds goes on as rendered; the old pass is left alone.
    driveEpoch_ = epoch;
    if (hasHeld_ && held_.generation == job.generation) {
      hasHeld_ = false;
      if (borrowDeliver(held_, ms) == Handoff::kDropped) return Handoff::kDropped;
    }
    hasHeld_ = false;
  }
  if (job.generation != driveGeneration_) {
    // An interrupt: the held crop is dropped and the pass flushed.
    driveGeneration_ = job.generation;
    if (hasHeld_) {
      hasHeld_ = false;
      borrowForget(b);
    }
  }
  if (!job.hasCrop) {
    if (borrowDrain(b, epoch, ms) == Handoff::kDropped) return Handoff::kDropped;
    return borrowDeliver(job, ms);
  }
  if (!b || degraded) {
    borrowNote(epoch, 0, b ? 1 : 0, nullptr, nullptr);
    return borrowDeliver(job, ms);
  }

  if (borrowInputTap) borrowInputTap(job);
  bool emitted = false;
  std::string failure;
  const double t0 = nowMs();
  try {
    tessResult_.reset();
    emitted = b->push(job.crop.data(), job.kp.data(), tessResult_);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  const double dt = nowMs() - t0;
  if (cfg_.pipelinePaste) {
    std::lock_guard<std::mutex> lock(mu_);
    stage_.bMs += dt;
  } else if (ms) {
    *ms += dt;
  }
  if (!failure.empty()) {
    borrowNote(epoch, 0, 0, &failure, b.get());
    borrowForget(b);
    if (hasHeld_) {
      hasHeld_ = false;
      borrowNote(epoch, 0, 1, nullptr, nullptr);
      if (borrowDeliver(held_, ms) == Handoff::kDropped) return Handoff::kDropped;
    }
    borrowNote(epoch, 0, 1, nullptr, nullptr);
    return borrowDeliver(job, ms);
  }
  if (emitted && hasHeld_) {
    if (borrowEmitHeld(b, epoch, ms) == Handoff::kDropped) {
      borrowForget(b);
      return Handoff::kDropped;
    }
  } else if (hasHeld_) {
    // The pass and the held crop went out of step: the crop goes on without its borrow.
    hasHeld_ = false;
    const std::string why = kFlushEmpty;
    borrowNote(epoch, 0, 1, &why, b.get());
    if (borrowDeliver(held_, ms) == Handoff::kDropped) return Handoff::kDropped;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    degraded = borrow_.epoch == epoch && borrow_.degraded;
  }
  if (degraded) {
    borrowForget(b);
    borrowNote(epoch, 0, 1, nullptr, b.get());
    return borrowDeliver(job, ms);
  }
  std::swap(held_, job);
  hasHeld_ = true;
  borrowNote(epoch, 0, 0, nullptr, b.get());
  return Handoff::kPublished;
}

Handoff Utterance::pushPaste(PasteJob&& job) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_ && !tessStop_ && generation_ == job.generation && pasteJobs_.size() >= size_t(kRing))
      cvTess_.wait_for(lock, std::chrono::milliseconds(2));
    if (stop_ || tessStop_ || generation_ != job.generation) {
      spareCrops_.push_back(std::move(job.crop));
      return Handoff::kDropped;
    }
    pasteJobs_.push_back(std::move(job));
  }
  cvPaste_.notify_all();
  return Handoff::kPublished;
}

void Utterance::tessLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cvTess_.wait(lock, [&] { return stop_ || tessStop_ || !tessJobs_.empty(); });
    if (stop_ || tessStop_) return;
    PasteJob job = std::move(tessJobs_.front());
    tessJobs_.pop_front();
    const bool stale = job.generation != generation_;
    lock.unlock();
    cvMain_.notify_all();
    if (!stale) borrowStep(job, nullptr);
    lock.lock();
    if (!stale) ++stage_.jobsB;
    if (job.crop.capacity()) spareCrops_.push_back(std::move(job.crop));
  }
}

// Synchronous mode, on the run thread: an interrupt drops the held crop and flushes the pass.
void Utterance::borrowInterrupted(uint64_t gen) {
  driveGeneration_ = gen;
  if (!hasHeld_) return;
  hasHeld_ = false;
  std::shared_ptr<tessera::StreamBorrow> b;
  {
    std::lock_guard<std::mutex> lock(mu_);
    b = borrow_.borrow;
  }
  borrowForget(b);
}

// Under mu_.
void Utterance::startTessThread() {
  if (!tessThread_.joinable()) tessThread_ = std::thread([this] { tessLoop(); });
}

}  // namespace qo::utt
