// Streaming conversion: readiness, computing up to a frame count, handing frames out, reset.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "audio/qo_a2x_error.h"
#include "audio/qo_a2x_impl.h"
#include "audio/qo_a2x_position.h"

namespace qo::audio {

int A2x::Impl::framesTouched() const { return int((int64_t(audio.size()) + kFrameSamples - 1) / kFrameSamples); }

int A2x::Impl::usableFrames() const {
  const int f = framesTouched();
  return finished ? f : kBlockFrames * (f / kBlockFrames);
}

int A2x::Impl::limit() const {
  if (finished) return framesTouched();
  return std::max(0, usableFrames() - std::max(aheadTotal, right));
}

AudioView A2x::Impl::audioView() const {
  AudioView v;
  v.samples = audio.data();
  v.count = int64_t(audio.size());
  v.finished = finished;
  v.usableFrames = usableFrames();
  return v;
}

int A2x::Impl::rowOf(int64_t frame) const { return targetRow(frame, rowStart, rowDir, rowLoop != 0, NT); }

void A2x::Impl::extend(int want) {
  int ret = std::min(want, limit());
  if (decDone >= ret) return;
  const int usable = usableFrames();
  const int needed = int(std::min<int64_t>(int64_t(ret) + aheadTotal, usable));
  features->fill(needed, audioView());
  features->ensureRows(needed);
  // The encoder reads aheadTotal rows past each frame; while the utterance is open, run it only
  // where those rows are final, so no frame depends on rows that later audio would change.
  if (!finished) ret = std::min(ret, features->done() - aheadTotal);
  if (ret <= decDone) return;
  encodeTo(ret, usable);
  decodeTo(ret);
}

void A2x::Impl::extendReporting(int want) {
  try {
    extend(want);
  } catch (const std::exception& e) {
    setA2xError(std::string("qo_a2x extend: ") + e.what());
  } catch (...) {
    setA2xError("qo_a2x extend: unknown exception");
  }
}

void A2x::Impl::encodeTo(int ret, int usable) {
  for (int c0 = encDone; c0 < ret;) {
    const EncoderChunk k = planChunk(c0, ret, usable, leftTotal, aheadTotal, pos.npos, kStreamChunk);
    if (ctx.size() < size_t(k.c1) * h) ctx.resize(size_t(k.c1) * h);
    if (hasWn && wn.size() < size_t(k.c1)) wn.resize(size_t(k.c1));
    enc->run(features->row(k.a), k.a, k.e, k.c0, k.c1, pos, window, left, &ctx[size_t(c0) * h],
             hasWn ? &wn[size_t(c0)] : nullptr);
    encDone = c0 = k.c1;
  }
}

void A2x::Impl::decodeTo(int ret) {
  if (deltas.size() < size_t(ret) * kKp) deltas.resize(size_t(ret) * kKp);
  for (int t = decDone; t < ret; ++t) {
    dec->step(&ctx[size_t(t) * h], prev.data(), hidden.data(), prev.data());
    float* d = &deltas[size_t(t) * kKp];
    for (int j = 0; j < kKp; ++j) d[j] = mean[size_t(j)] + prev[size_t(j)] * std[size_t(j)];
    decDone = t + 1;  // per step: the recurrent state has moved on
  }
}

void A2x::Impl::resetUtterance(int start, int dir, int loop) {
  if (start < 0) start = rowOf(delivered);
  audio.clear();
  features->reset();
  ctx.clear();
  deltas.clear();
  wn.clear();
  finished = false;
  delivered = encDone = decDone = 0;
  if (!primedPrev.empty() && !primedHidden.empty()) {
    prev = primedPrev;
    hidden = primedHidden;
  } else {
    prev.assign(kKp, 0.0f);
    hidden.assign(size_t(h), 0.0f);
  }
  rowStart = start;
  rowDir = dir < 0 ? -1 : 1;
  rowLoop = loop;
}

void A2x::push(const float* samples, int n) {
  if (n < 1) return;
  impl_->audio.insert(impl_->audio.end(), samples, samples + n);
}

void A2x::finish() { impl_->finished = true; }

int A2x::total() const { return impl_->finished ? impl_->framesTouched() : -1; }

int A2x::avail() {
  Impl& s = *impl_;
  const int l = s.limit();
  if (s.decDone < l) s.extendReporting(std::min(l, s.decDone + (s.shortWindow ? kBlockFrames : kStreamChunk)));
  return std::max(0, s.decDone - s.delivered);
}

int A2x::pull(int* rows, float* base, float* kp, float* wn, int max) {
  Impl& s = *impl_;
  if (max < 1) return 0;
  const int l = s.limit();
  if (s.delivered >= s.decDone) s.extendReporting(int(std::min<int64_t>(l, int64_t(s.delivered) + max)));
  const int end = std::min(s.decDone, l);
  int n = 0;
  for (; n < max && s.delivered < end; ++n, ++s.delivered) {
    const int t = s.delivered;
    const int r = s.rowOf(t);
    const float* row = &s.target[size_t(r) * kKp];
    const float* d = &s.deltas[size_t(t) * kKp];
    rows[n] = r;
    for (int j = 0; j < kKp; ++j) {
      base[size_t(n) * kKp + j] = row[j];
      kp[size_t(n) * kKp + j] = row[j] + d[j];
    }
    if (wn) wn[n] = s.hasWn && size_t(t) < s.wn.size() ? s.wn[size_t(t)] : 0.0f;
  }
  return n;
}

void A2x::reset(int start, int dir, int loop) { impl_->resetUtterance(start, dir, loop); }

void A2x::setEager(int eager) { impl_->eager = eager; }

int A2x::nt() const { return impl_->NT; }
bool A2x::hasWn() const { return impl_->hasWn; }
bool A2x::shortWindow() const { return impl_->shortWindow; }
int A2x::aheadTotal() const { return impl_->aheadTotal; }
int A2x::right() const { return impl_->right; }
int A2x::featuresDone() const { return impl_->features->done(); }
int A2x::decoded() const { return impl_->decDone; }

const float* A2x::featureRow(int frame) const {
  if (frame < 0 || frame >= impl_->features->rows()) return nullptr;
  return impl_->features->row(frame);
}

}  // namespace qo::audio
