// The run thread: turns pushed audio into speech frames through the dispatch thread, fills gaps
// with idle frames, and ramps back to the idle pose after each utterance.
#include <algorithm>
#include <cstring>

#include "pipeline/qo_utt_impl.h"

namespace qo::utt {

bool Utterance::dispatchDone() {
  std::lock_guard<std::mutex> lock(mail_.mu);
  return mail_.done;
}

void Utterance::collectJob() {
  std::lock_guard<std::mutex> lock(mail_.mu);
  mail_.done = false;
  inFlight_ = false;
  if (inFlightGeneration_ != seenGeneration_) return;  // work of an interrupted utterance
  const int n = mail_.pulled;
  if (batchCount_ + n > kBatch) {  // drop the rendered prefix to make room
    const int keep = batchCount_ - batchCursor_;
    std::memmove(batchRows_.data(), batchRows_.data() + batchCursor_, size_t(keep) * sizeof(int));
    std::memmove(batchBase_.data(), batchBase_.data() + size_t(batchCursor_) * 63, size_t(keep) * 63 * sizeof(float));
    std::memmove(batchKp_.data(), batchKp_.data() + size_t(batchCursor_) * 63, size_t(keep) * 63 * sizeof(float));
    batchCount_ = keep;
    batchCursor_ = 0;
  }
  std::memcpy(batchRows_.data() + batchCount_, mail_.rows.data(), size_t(n) * sizeof(int));
  std::memcpy(batchBase_.data() + size_t(batchCount_) * 63, mail_.base.data(), size_t(n) * 63 * sizeof(float));
  std::memcpy(batchKp_.data() + size_t(batchCount_) * 63, mail_.kp.data(), size_t(n) * 63 * sizeof(float));
  batchCount_ += n;
  pulledTotal_ += n;
  remainingAvail_ = mail_.remaining;
  total_ = mail_.total;
}

void Utterance::postRequest(std::vector<float> audio, int eager, int maxFrames) {
  {
    std::lock_guard<std::mutex> lock(mail_.mu);
    mail_.model = motion_.get();
    mail_.audio = std::move(audio);
    mail_.reset = resetPending_;
    mail_.resetStart = idleIdx_;
    mail_.resetDir = dir_;
    mail_.finish = audioEnded_ && !finishSent_;
    mail_.eager = eager;
    mail_.maxFrames = maxFrames;
    mail_.done = false;
    mail_.request = true;
  }
  finishSent_ = finishSent_ || audioEnded_;
  resetPending_ = false;
  inFlight_ = true;
  inFlightGeneration_ = seenGeneration_;
  mail_.cv.notify_all();
}

void Utterance::handleInterrupt(uint64_t gen) {
  seenGeneration_ = gen;
  Delivered last;
  {
    std::lock_guard<std::mutex> lock(mu_);
    last = lastDelivered_;
    havePush_ = false;
  }
  if (!cfg_.pipelinePaste) borrowInterrupted(gen);
  inUtterance_ = audioEnded_ = resetPending_ = finishSent_ = haveLastKp_ = false;
  speechSeq_ = 0;
  batchCursor_ = batchCount_ = 0;
  pending_.clear();
  pulledTotal_ = remainingAvail_ = 0;
  total_ = -1;
  hybridMode_ = 0;
  int state = 0;
  if ((last.kind == 1 || last.kind == 2) && !target_.empty()) {
    idleIdx_ = (last.driverIdx + 1) % nt_;
    for (int k = 0; k < 63; ++k) rampOffset_[k] = last.kp[k] - target_[size_t(last.driverIdx) * 63 + k];
    rampTotal_ = rampRemaining_ = cfg_.rampInterrupt;
    state = 3;
  } else if (last.kind == 0) {
    idleIdx_ = (last.driverIdx + 1) % nt_;
  }
  std::lock_guard<std::mutex> lock(mu_);
  state_ = state;
}

// Renders up to n ready frames; false when nothing could be produced.
bool Utterance::renderSpeech(int n) {
  n = std::min(n, ready());
  const Renderer* single = ctx_->renderer.get();
  (void)single;
  const float* crops = nullptr;
  double perFrameMs = 0;
  if (n > 1 && chunk_ && chunk_->batch() >= n) {
    const double t0 = nowMs();
    try {
      crops = chunk_->render(batchRows_.data() + batchCursor_, batchBase_.data() + size_t(batchCursor_) * 63,
                             batchKp_.data() + size_t(batchCursor_) * 63, n);
      perFrameMs = (nowMs() - t0) / n;
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
      crops = nullptr;
    }
  }
  bool produced = false;
  for (int i = 0; i < n; ++i) {
    const int j = batchCursor_;
    const int row = batchRows_[size_t(j)];
    const float* base = batchBase_.data() + size_t(j) * 63;
    const float* kp = batchKp_.data() + size_t(j) * 63;
    double ms = perFrameMs;
    const float* crop = crops ? crops + size_t(i) * cropFloats_ : nullptr;
    if (!crop) {
      const double t0 = nowMs();
      try {
        crop = ctx_->renderer->render(&row, base, kp, 1);
      } catch (const std::exception& e) {
        noteRenderFail("render", e.what(), true);
        // The failed frame is consumed (its seq number stays a gap), so a persistent failure
        // cannot hold the utterance open forever.
        ++batchCursor_;
        ++speechSeq_;
        idleIdx_ = (row + 1) % nt_;
        return produced;
      }
      ms = nowMs() - t0;
    }
    idleIdx_ = row;
    const double renderMs = ms;
    const Handoff handed = enqueue(crop, 1, row, speechSeq_, kp, &ms);
    if (handed == Handoff::kDropped) return produced;
    if (handed == Handoff::kFailed) {
      // Consumed like a failed render: a persistent paste failure cannot hold the utterance open.
      ++batchCursor_;
      ++speechSeq_;
      idleIdx_ = (row + 1) % nt_;
      return produced;
    }
    lastDriver_ = row;
    std::copy(kp, kp + 63, lastKp_.begin());
    produced = true;
    ++speechSeq_;
    ++batchCursor_;
    haveLastKp_ = true;
    std::lock_guard<std::mutex> lock(mu_);
    state_ = 2;
    stage_.aMs += ms;
    ++stage_.speechRendered;
    stats_.render_ms = stats_.render_ms == 0 ? renderMs : 0.9 * stats_.render_ms + 0.1 * renderMs;
  }
  idleIdx_ = (idleIdx_ + 1) % nt_;
  return produced;
}

bool Utterance::produceRamp() {
  const int T = rampTotal_, R = rampRemaining_;
  const float w = 1.0f - float(T - R + 1) / float(T);
  std::array<float, 63> kp;
  const float* base = target_.data() + size_t(idleIdx_) * 63;
  for (int k = 0; k < 63; ++k) kp[k] = base[k] + w * rampOffset_[k];
  const float* crop = nullptr;
  try {
    const int32_t row = idleIdx_;
    if (R == 1) ctx_->renderer->releaseArenaAfterNextRun();  // the burst's last frame
    crop = ctx_->renderer->render(&row, base, kp.data(), 1);
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what(), true);
  }
  lastKp_ = kp;
  lastDriver_ = idleIdx_;
  // A frame that failed to render or to paste is consumed; one dropped by an interrupt is not.
  const Handoff handed = crop ? enqueue(crop, 2, idleIdx_, -1, kp.data(), nullptr) : Handoff::kFailed;
  if (handed != Handoff::kDropped) {
    idleIdx_ = (idleIdx_ + 1) % nt_;
    if (--rampRemaining_ == 0) {
      std::lock_guard<std::mutex> lock(mu_);
      state_ = 0;
    }
  }
  return handed == Handoff::kPublished;
}

// Any failure since the last look pauses idle production, from one frame period doubling up to a
// second while failures go on; a frame published without a new failure ends the pause. Speech and
// ramp frames are not held back: each is tried once.
void Utterance::noteOutcomes(int64_t failures, int64_t published) {
  constexpr double kFirstPauseMs = 40, kLongestPauseMs = 1000;
  if (failures != failuresSeen_) {
    failuresSeen_ = failures;
    idleBackoffMs_ = idleBackoffMs_ == 0 ? kFirstPauseMs : std::min(2 * idleBackoffMs_, kLongestPauseMs);
    idleResumeMs_ = nowMs() + idleBackoffMs_;
  } else if (published != publishedSeen_) {
    idleBackoffMs_ = 0;
  }
  publishedSeen_ = published;
}

void Utterance::endOfUtterance() {
  std::lock_guard<std::mutex> lock(mu_);
  havePush_ = false;
  inUtterance_ = false;
  if (haveLastKp_ && !target_.empty()) {
    for (int k = 0; k < 63; ++k) rampOffset_[k] = lastKp_[k] - target_[size_t(lastDriver_) * 63 + k];
    idleIdx_ = (lastDriver_ + 1) % nt_;
    rampTotal_ = rampRemaining_ = cfg_.rampEnd;
    state_ = 3;
  } else {
    state_ = 0;
  }
}

void Utterance::run() {
  for (;;) {
    std::vector<float> audio;
    bool endTaken = false, modelLoaded;
    uint64_t gen;
    double lastPush, firstPush;
    uint64_t occupancy;
    size_t pasteQueue;
    int state;
    int64_t failures, published;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
      failures = renderFailures_;
      published = frameNo_;
      gen = generation_;
      modelLoaded = motion_ != nullptr;
      lastPush = lastPushMs_;
      firstPush = firstPushMs_;
      occupancy = writeIdx_ - readIdx_;
      pasteQueue = pasteJobs_.size() + tessJobs_.size();
      state = state_;
      if (state != 3) {
        audio.swap(audio_);
        endTaken = endRequested_;
        endRequested_ = false;
      }
    }

    noteOutcomes(failures, published);
    bool progressed = false;
    if (gen != seenGeneration_) {
      handleInterrupt(gen);
      progressed = true;
      std::lock_guard<std::mutex> lock(mu_);
      state = state_;
    } else {
      if (inFlight_ && dispatchDone()) {
        collectJob();
        progressed = true;
      }
      if (!audio.empty()) {
        progressed = true;
        if (!modelLoaded) {
          std::lock_guard<std::mutex> lock(mu_);
          havePush_ = false;
        } else {
          if (!inUtterance_) {
            inUtterance_ = resetPending_ = true;
            audioEnded_ = finishSent_ = haveLastKp_ = false;
            speechSeq_ = 0;
            batchCursor_ = batchCount_ = 0;
            pulledTotal_ = remainingAvail_ = 0;
            total_ = -1;
            hybridMode_ = 0;
            std::lock_guard<std::mutex> lock(mu_);
            utteranceStartMs_ = firstPush;
            if (state_ == 0) state_ = state = 1;
          }
          pending_.insert(pending_.end(), audio.begin(), audio.end());
        }
      }
      if (inUtterance_) {
        if (endTaken || (cfg_.silenceMs >= 0 && nowMs() - lastPush >= cfg_.silenceMs)) audioEnded_ = true;
      }
      const bool done = finishSent_ && !inFlight_ && total_ >= 0 && pulledTotal_ >= total_;

      int eager = cfg_.eager;
      if (cfg_.hybrid) {
        const int backlog = ready() + remainingAvail_ + int(occupancy);
        if (hybridMode_ == 0 && backlog >= 24) hybridMode_ = 1;
        else if (hybridMode_ == 1 && backlog < 12) hybridMode_ = 0;
        eager = hybridMode_ ? 24 : 3;
      }
      const int c = (chunk_ && speechSeq_ > 0) ? chunk_->batch() : 0;
      const bool wantPost = !pending_.empty() || (audioEnded_ && !finishSent_) || (ready() < 8 && !done) ||
                            (ready() < c && c <= ready() + remainingAvail_);
      if (modelLoaded && inUtterance_ && !inFlight_ && wantPost) {
        const int sendEager = eager != eagerSent_ ? eager : 0;
        eagerSent_ = eager;
        postRequest(std::move(pending_), sendEager, kBatch - ready());
        pending_.clear();
        if (!cfg_.hybrid) {
          std::unique_lock<std::mutex> lock(mail_.mu);
          mail_.cv.wait(lock, [&] { return mail_.done || mail_.stop; });
          lock.unlock();
          if (dispatchDone()) {
            collectJob();
            progressed = progressed || batchCount_ > batchCursor_;
          }
        }
      }
    }

    // Produce at most one thing.
    const bool done = finishSent_ && !inFlight_ && total_ >= 0 && pulledTotal_ >= total_;
    const int c = (chunk_ && speechSeq_ > 0) ? chunk_->batch() : 0;
    if (state == 3) {
      if (rampRemaining_ > 0 && occupancy < uint64_t(kRing)) progressed = produceRamp() || progressed;
    } else if (inUtterance_ && ready() >= 1 && occupancy <= uint64_t(kRing - 1)) {
      int n = 1;
      if (c >= 1 && ready() >= c) n = c;
      else if (c >= 1 && c <= ready() + remainingAvail_ && inFlight_) n = 0;
      if (n > 0) progressed = renderSpeech(n) || progressed;
    } else if (inUtterance_ && ready() == 0 && done) {
      endOfUtterance();
      progressed = true;
    } else if (state == 0 && !inUtterance_ && occupancy == 0 && pasteQueue == 0 && nowMs() >= idleResumeMs_) {
      if (enqueue(nullptr, 0, idleIdx_, -1, nullptr, nullptr) == Handoff::kPublished) progressed = true;
      idleIdx_ = (idleIdx_ + 1) % nt_;
    }
    if (!progressed) {
      std::unique_lock<std::mutex> lock(mu_);
      cvMain_.wait_for(lock, std::chrono::milliseconds(2));
    }
  }
}

}  // namespace qo::utt
