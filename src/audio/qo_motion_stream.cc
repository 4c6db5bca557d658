// Streaming: audio windows, generator chunks with their blend, the eager step and its undo,
// emission of frames, reset.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/qo_a2x_position.h"
#include "audio/qo_motion_impl.h"
#include "audio/qo_motion_pose.h"
#include "bundle/qo_fs.h"

namespace qo::audio {
namespace {

constexpr int kWindowLead = 2000;  // samples of a window before its first frame
constexpr int kWindowNeed = kMelWindowSamples - kWindowLead;  // samples past its first frame's start

}  // namespace

int Motion::Impl::limit() const {
  const int rows = genRows();
  if (finished) return std::min(framesTouched(), rows);
  // Never past the audio: speculative chunks reach 80 rows beyond their start.
  return std::max(0, std::min(rows - kHoldBack, framesTouched()));
}

bool Motion::Impl::windowReady() const {
  if (finished) return nextWindow < framesTouched();
  return int64_t(audio.size()) >= int64_t(nextWindow) * kMotionFrameSamples + kWindowNeed;
}

bool Motion::Impl::chunkReady() const {
  const int start = chunks * kChunkHop;
  const int kept = chunks == 0 ? 0 : start + kBlendRows;  // real rows before this chunk
  if (finished) return kept < framesTouched() && nextWindow > start;
  return nextWindow >= start + kChunkRows;
}

void Motion::Impl::advance() {
  if (finished) {
    withdraw();
    runReal();
    return;
  }
  // The eager step is paced by the audio, not the wall clock: a live host pushes at the
  // speaking pace, so min(eager, 8) frames of new audio is that many 40 ms frames of time, and
  // the frames served stay a function of the push and poll pattern rather than of scheduling.
  const int64_t samples = int64_t(audio.size());
  const int step = std::min(eager, kEagerMaxStep);
  const bool eagerDue = eager > 0 && samples > 0 &&
                        (lastEagerSamples < 0 || samples - lastEagerSamples >= int64_t(step) * kMotionFrameSamples);
  const bool real = windowReady() || chunkReady();
  if (!real && !eagerDue) return;
  const bool speculating = specChunk || condRows() > nextWindow;
  withdraw();
  runReal();
  // Real work withdrew the speculation; put it back at once so availability does not drop.
  if (eager > 0 && (eagerDue || speculating)) eagerStep();
}

void Motion::Impl::runReal() {
  for (;;) {
    if (windowReady()) {
      processWindow(nextWindow);
      nextWindow += kWindowFrames;
    } else if (chunkReady()) {
      runChunk(chunks);
      ++chunks;
    } else {
      return;
    }
  }
}

void Motion::Impl::eagerStep() {
  lastEagerSamples = int64_t(audio.size());
  const int touched = framesTouched();
  // Windows whose first frame the audio has reached, their missing samples zero; the real
  // window counter stays, so each runs again once its audio is complete.
  for (int w = nextWindow; w < touched; w += kWindowFrames) processWindow(w);
  // Every chunk starting below the audio, on the rows there are (the last one repeated).
  const int first = chunks * kChunkHop;
  if (touched <= first || condRows() == 0) return;
  specGenBefore = genRows();
  specHeld = held;
  if (chunks > 0) specBlend.assign(gen.begin() + ptrdiff_t(first) * kMotionRow, gen.begin() + ptrdiff_t(first + kBlendRows) * kMotionRow);
  specChunk = true;
  for (int c = chunks; c * kChunkHop < touched; ++c) runChunk(c);
}

void Motion::Impl::withdraw() {
  cond.resize(size_t(nextWindow) * kMotionCond);
  if (!specChunk) return;
  gen.resize(size_t(specGenBefore) * kMotionRow);
  if (chunks > 0) std::copy(specBlend.begin(), specBlend.end(), gen.begin() + ptrdiff_t(chunks * kChunkHop) * kMotionRow);
  held = specHeld;
  specChunk = false;
}

void Motion::Impl::processWindow(int w) {
  const int64_t from = int64_t(w) * kMotionFrameSamples - kWindowLead;
  const int64_t have = int64_t(audio.size());
  for (int i = 0; i < kMelWindowSamples; ++i) {
    const int64_t at = from + i;
    window[size_t(i)] = at >= 0 && at < have ? audio[size_t(at)] : 0.0f;
  }
  mel->compute(window.data(), student->input(0));
  student->run();
  float* feat = student->output();  // de-normalised in place; the next run overwrites it
  for (int k = 0; k < kStudentFrames; ++k)
    for (int j = 0; j < kStudentWidth; ++j) {
      float& v = feat[size_t(k) * kStudentWidth + j];
      v = v * mb.fstd[size_t(j)] + mb.fmean[size_t(j)];
    }
  const size_t at = cond.size();
  cond.resize(at + size_t(kWindowFrames) * kMotionCond);
  for (int j = 0; j < kWindowFrames; ++j) {
    float* row = &cond[at + size_t(j) * kMotionCond];
    const float* a = feat + size_t(6 + 2 * j) * kStudentWidth;
    const float* b = a + kStudentWidth;
    for (int i = 0; i < kStudentWidth; ++i) row[i] = (a[i] + b[i]) * 0.5f;
    float* p = row + kStudentWidth;
    const float* emo = &mb.emo[size_t((w + j) % mb.meta.nEmo) * 8];
    p = std::copy(emo, emo + 8, p);
    p = std::copy(mb.chEyeOpen.begin(), mb.chEyeOpen.end(), p);
    p = std::copy(mb.chEyeBall.begin(), mb.chEyeBall.end(), p);
    std::copy(mb.chSc.begin(), mb.chSc.end(), p);
  }
  if (!dumpedWindow && !dumpDir.empty()) {
    dumpedWindow = true;
    dump("mel0.bin", student->input(0), student->inputSize(0));
    dump("feat0.bin", feat, student->outputSize());
    dump("cond.bin", &cond[at], size_t(kWindowFrames) * kMotionCond);
  }
}

void Motion::Impl::runChunk(int c) {
  const int start = c * kChunkHop;
  const int rows = condRows();
  std::copy(sourceRow.begin(), sourceRow.end(), generator->input(0));
  float* aud = generator->input(1);
  for (int i = 0; i < kChunkRows; ++i) {
    const int r = std::min(start + i, rows - 1);
    std::memcpy(aud + size_t(i) * kMotionCond, &cond[size_t(r) * kMotionCond], sizeof(float) * kMotionCond);
  }
  std::copy(held.begin(), held.end(), generator->input(2));
  generator->run();
  const float* out = generator->output();
  held.assign(out, out + generator->outputSize());
  int first = 0;
  if (c > 0) {
    // The new chunk's first rows fade in over the previous chunk's last ones.
    for (int j = 0; j < kBlendRows; ++j) {
      float* kept = &gen[size_t(start + j) * kMotionRow];
      const float* fresh = out + size_t(j) * kMotionRow;
      const float wNew = float(j) / kBlendRows;
      for (int k = 0; k < kMotionRow; ++k) kept[k] = (1.0f - wNew) * kept[k] + wNew * fresh[k];
    }
    first = kBlendRows;
  }
  gen.resize(size_t(start + first) * kMotionRow);
  gen.insert(gen.end(), out + size_t(first) * kMotionRow, out + size_t(kChunkRows) * kMotionRow);
  if (!dumpedChunk && !dumpDir.empty()) {
    dumpedChunk = true;
    dump("lmdm0_kp.bin", generator->input(0), generator->inputSize(0));
    dump("lmdm0_aud.bin", generator->input(1), generator->inputSize(1));
    dump("lmdm0_pred.bin", out, generator->outputSize());
  }
}

void Motion::Impl::emit(int* rowOut, float* xsOut, float* xdOut) {
  const int f = delivered;
  prepareRow(gen.data(), genRows(), f, mb.vMinMax.data(), prepared.data());
  const float* e = prepared.data() + kRowExp;
  if (!haveE0) {
    std::copy(e, e + 63, e0.begin());
    haveE0 = true;
  }
  const int a = targetRow(f, rowStart, rowDir, rowLoop != 0, mb.meta.nt);
  const float* q = &mb.srcXsInfo[size_t(a) * kMotionDesc];
  drivingExpression(q + kDescExp, e, e0.data(), ratio, expD.data());
  float* xs = stitch->input(0);
  float* xd = stitch->input(1);
  frameKeypoints(q, expD.data(), mb.meta.deltaPitch, xs, xd);
  stitch->run();
  const float* y = stitch->output();
  const float* target = &mb.target[size_t(a) * 63];
  *rowOut = a;
  for (int j = 0; j < 63; ++j) {
    xsOut[j] = target[j];
    xdOut[j] = target[j] + mb.meta.sBridge * (y[j] - xs[j]);
  }
  ++delivered;
  if (!dumpedFrame && !dumpDir.empty()) {
    dumpedFrame = true;
    dump("res_post.bin", prepared.data(), prepared.size());
    dump("xs.bin", xs, 63);
    dump("xd.bin", xd, 63);
    dump("final.bin", xdOut, 63);
  }
}

void Motion::Impl::resetUtterance(int start, int dir, int loop) {
  audio.clear();
  finished = false;
  nextWindow = chunks = delivered = 0;
  cond.clear();
  gen.clear();
  held.assign(size_t(kChunkRows) * kMotionRow, 0.0f);
  haveE0 = false;
  specChunk = false;
  lastEagerSamples = -1;
  rowStart = std::clamp(start, 0, mb.meta.nt - 1);
  rowDir = dir < 0 ? -1 : 1;
  rowLoop = loop;
}

void Motion::Impl::dump(const char* name, const float* data, size_t n) {
  fs::mkdirs(dumpDir);
  const std::string path = dumpDir + "/" + name;
  fs::File f(std::fopen(path.c_str(), "wb"));
  if (!f || std::fwrite(data, sizeof(float), n, f.get()) != n)
    std::fprintf(stderr, "[qo_motion] WARNING: QO_MOTION_DUMP: cannot write %s\n", path.c_str());
}

bool Motion::push(const float* samples, int n) {
  if (impl_->finished) return false;
  if (n > 0) impl_->audio.insert(impl_->audio.end(), samples, samples + n);
  return true;
}

void Motion::finish() { impl_->finished = true; }

int Motion::total() const { return impl_->finished ? impl_->framesTouched() : -1; }

int Motion::avail() {
  Impl& s = *impl_;
  s.advance();
  return std::max(0, s.limit() - s.delivered);
}

int Motion::pull(int* rows, float* xs, float* xd, int max) {
  Impl& s = *impl_;
  if (max < 1) return 0;
  if (s.delivered >= s.limit()) s.advance();
  const int end = s.limit();
  int n = 0;
  for (; n < max && s.delivered < end; ++n) s.emit(rows + n, xs + size_t(n) * 63, xd + size_t(n) * 63);
  return n;
}

void Motion::reset(int start, int dir, int loop) { impl_->resetUtterance(start, dir, loop); }
void Motion::setEager(int eager) { impl_->eager = eager; }
int Motion::nt() const { return impl_->mb.meta.nt; }
int Motion::generatedRows() const { return impl_->genRows(); }
int Motion::speculativeRows() const { return impl_->specChunk ? impl_->genRows() - impl_->specGenBefore : 0; }

}  // namespace qo::audio
