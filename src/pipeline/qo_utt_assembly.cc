// Frame assembly: decode the driver frame, composite the crop, publish into the 8-slot ring
// (on the run thread, or through the paste thread's queue of at most 8 jobs).
#include <cstdio>
#include <cstring>

#include "pipeline/qo_utt_impl.h"

namespace qo::utt {

// A teeth borrow, when attached, sits here between the renderer and the ring: on this thread, or
// on the tessera thread ahead of the paste queue.
Handoff Utterance::enqueue(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms) {
  bool attached, pipelined;
  {
    std::lock_guard<std::mutex> lock(mu_);
    attached = borrow_.borrow != nullptr;
    pipelined = borrow_.pipelined;
  }
  if (!attached) return enqueueRaw(crop, kind, driverIdx, seq, kp, ms);
  if (pipelined) return queueJob(tessJobs_, cvTess_, crop, kind, driverIdx, seq, kp, ms);
  return enqueueBorrowSync(crop, kind, driverIdx, seq, kp, ms);
}

Handoff Utterance::enqueueRaw(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms) {
  if (cfg_.pipelinePaste) return enqueuePipe(crop, kind, driverIdx, seq, kp, ms);
  // The generation the run thread works under: a frame made before an interrupt it has not
  // handled yet must not be published after it.
  return fillAndPublish(crop, kind, driverIdx, seq, kp, seenGeneration_, ms);
}

Handoff Utterance::fillAndPublish(const float* crop, int kind, int driverIdx, int seq, const float* kp, uint64_t gen,
                                  double* ms) {
  FrameSlot* slot;
  {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_ && generation_ == gen && writeIdx_ - readIdx_ >= uint64_t(kRing))
      cvMain_.wait_for(lock, std::chrono::milliseconds(2));
    if (stop_ || generation_ != gen) return Handoff::kDropped;
    slot = &ring_[writeIdx_ % kRing];
  }
  const double t0 = nowMs();
  try {
    ctx_->cursor->pullAt(driverIdx, slot->pixels.data());
    if (crop) ctx_->paste->composite(crop, 255.0f, ctx_->identity.M(driverIdx), slot->pixels.data(), ctx_->manifest.W,
                                     ctx_->manifest.H);
    else ctx_->identity.walkP(driverIdx);
  } catch (const std::exception& e) {
    // A failed cursor or compositor must show in the render status, not stop frames silently.
    noteRenderFail(kind == 0 ? "idle" : "paste", e.what(), true);
    return Handoff::kFailed;
  }
  if (ms) *ms += nowMs() - t0;
  slot->kind = kind;
  slot->driverIdx = driverIdx;
  slot->seq = seq;
  if (kp) std::memcpy(slot->kp.data(), kp, sizeof(float) * 63);
  else slot->kp.fill(0.0f);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_ || generation_ != gen) return Handoff::kDropped;
    slot->frameNo = frameNo_++;
    ++writeIdx_;
    if (kind == 1 && seq == 0) {
      ++stats_.utterances;
      stats_.first_frame_ms = nowMs() - utteranceStartMs_;
    }
  }
  cvMain_.notify_all();
  return Handoff::kPublished;
}

Handoff Utterance::enqueuePipe(const float* crop, int kind, int driverIdx, int seq, const float* kp, double* ms) {
  return queueJob(pasteJobs_, cvPaste_, crop, kind, driverIdx, seq, kp, ms);
}

// Copies the frame into a job and appends it to `queue` (at most 8 jobs), waiting for room.
Handoff Utterance::queueJob(std::deque<PasteJob>& queue, std::condition_variable& cv, const float* crop, int kind,
                            int driverIdx, int seq, const float* kp, double* ms) {
  PasteJob job;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!spareCrops_.empty()) {
      job.crop = std::move(spareCrops_.back());
      spareCrops_.pop_back();
    }
  }
  job.generation = seenGeneration_;
  job.hasCrop = crop != nullptr;
  if (crop) job.crop.assign(crop, crop + cropFloats_);
  job.kind = kind;
  job.driverIdx = driverIdx;
  job.seq = seq;
  if (kp) std::memcpy(job.kp.data(), kp, sizeof(float) * 63);
  job.createdMs = nowMs();
  {
    std::unique_lock<std::mutex> lock(mu_);
    const double waitStart = nowMs();
    while (!stop_ && generation_ == job.generation && queue.size() >= size_t(kRing))
      cvMain_.wait_for(lock, std::chrono::milliseconds(2));
    const double waited = nowMs() - waitStart;
    if (kind == 1) stage_.aWaitMs += waited;
    if (ms) *ms += waited;
    if (stop_ || generation_ != job.generation) {
      spareCrops_.push_back(std::move(job.crop));
      return Handoff::kDropped;
    }
    queue.push_back(std::move(job));
  }
  cv.notify_all();
  return Handoff::kPublished;
}

void Utterance::pasteLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cvPaste_.wait(lock, [&] { return stop_ || pasteStop_ || !pasteJobs_.empty(); });
    if (stop_ || pasteStop_) return;
    PasteJob job = std::move(pasteJobs_.front());
    pasteJobs_.pop_front();
    const bool stale = job.generation != generation_;
    lock.unlock();
    cvMain_.notify_all();
    cvTess_.notify_all();
    if (!stale) pasteInto(job);
    lock.lock();
    spareCrops_.push_back(std::move(job.crop));
  }
}

bool Utterance::pasteInto(const PasteJob& job) {
  const double t0 = nowMs();
  const bool published = fillAndPublish(job.hasCrop ? job.crop.data() : nullptr, job.kind, job.driverIdx, job.seq,
                                        job.kind == 0 ? nullptr : job.kp.data(), job.generation,
                                        nullptr) == Handoff::kPublished;
  std::lock_guard<std::mutex> lock(mu_);
  stage_.cMs += nowMs() - t0;
  ++stage_.jobsC;
  if (published && job.kind == 1) {
    stage_.deliverLatMs += nowMs() - job.createdMs;
    ++stage_.latFrames;
  }
  return published;
}

void Utterance::printStageReport() {
  const StageCounters& s = stage_;
  const double n = double(s.speechRendered);
  if (s.jobsC > 0) {
    std::fprintf(stderr,
                 "[qo_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f stageA_wait_ms=%.3f "
                 "stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
                 int(cfg_.pipelinePaste), (long long)s.jobsB, (long long)s.jobsC, n > 0 ? s.aMs / n : 0.0,
                 n > 0 ? (s.aMs - s.aWaitMs) / n : 0.0, n > 0 ? s.aWaitMs / n : 0.0, s.jobsB ? s.bMs / double(s.jobsB) : 0.0,
                 s.cMs / double(s.jobsC), s.latFrames ? s.deliverLatMs / double(s.latFrames) : 0.0,
                 (long long)s.latFrames);
  } else {
    std::fprintf(stderr,
                 "[qo_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and the paste-job counter "
                 "never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). stageA/stageB/stageC and the "
                 "deliver latency are NOT reported rather than reported as zero: on this path the paste does not run "
                 "through the counted queue.\n",
                 int(cfg_.pipelinePaste), (long long)s.jobsB, (long long)stats_.speech_frames);
  }
}

}  // namespace qo::utt
