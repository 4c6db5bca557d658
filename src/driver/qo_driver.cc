// DriverCursor: one decoder thread keeps frames ahead of a real-time consumer in a ring that also
// holds the consumer's recent history.
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bundle/qo_manifest.h"
#include "bundle/qo_manifest_key.h"
#include "driver/qo_jpg_dir.h"
#include "qo/qo_bundle.h"
#include "qo/qo_driver.h"

namespace qo {

struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> src, int aheadReq, int backReq)
      : source(std::move(src)),
        NT(source->NT()),
        W(source->W()),
        H(source->H()),
        frameBytes(source->frameBytes()),
        ahead(std::max(aheadReq, 1)),
        back(std::max(backReq, 0)),
        slots(back + ahead + 1),
        ring(size_t(slots), std::vector<uint8_t>(frameBytes)),
        slotFrame(size_t(slots), -1),
        sourceName(source->name()),
        sourceResident(source->residentBytes()) {
    thread = std::thread([this] { decodeLoop(); });
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stop = true;
    }
    roomCv.notify_all();
    frameCv.notify_all();
    thread.join();
  }

  std::unique_ptr<driver::Source> source;
  const int32_t NT, W, H;
  const size_t frameBytes;
  const int32_t ahead, back, slots;
  std::vector<std::vector<uint8_t>> ring;
  std::vector<int32_t> slotFrame;
  const std::string sourceName;

  mutable std::mutex mu;
  std::mutex consumerMu;
  std::condition_variable roomCv, frameCv;
  uint64_t consumed = 0, produced = 0, mutFloor = 0;
  bool decoding = false;
  int32_t nextFrame = 0, position = 0, srcPos = 0, seekReq = -1;
  uint64_t epoch = 0;
  bool stop = false;
  std::string error;
  uint64_t seeks = 0;
  size_t sourceResident;  // snapshot taken by the decoder thread, which owns the source
  std::thread thread;

  void fail(const std::string& message) {
    std::lock_guard<std::mutex> lock(mu);
    if (error.empty()) error = message;
    frameCv.notify_all();
  }

  void decodeLoop() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      if (stop) return;
      if (seekReq >= 0) {
        const int32_t target = seekReq;
        nextFrame = target;
        seekReq = -1;
        lock.unlock();
        try {
          source->seek(target);
          srcPos = target;
        } catch (const std::exception& e) {
          fail(std::string("qo_driver: seek failed: ") + e.what());
          return;
        }
        lock.lock();
        continue;
      }
      if (produced - consumed < uint64_t(ahead)) {
        decoding = true;
        const uint64_t seq = produced, myEpoch = epoch;
        const int32_t frame = nextFrame;
        lock.unlock();
        size_t resident;
        try {
          if (srcPos == NT) {
            source->rewind();
            srcPos = 0;
          }
          if (!source->next(ring[seq % uint64_t(slots)].data()))
            throw std::runtime_error(sourceName + " ended after " + std::to_string(srcPos) +
                                     " frames, the manifest says NT=" + std::to_string(NT) +
                                     " \xE2\x80\x94 a short driver is a session that stops part way through the "
                                     "loop, refusing");
          ++srcPos;
          resident = source->residentBytes();
        } catch (const std::exception& e) {
          fail(std::string("qo_driver: ") + e.what());
          return;
        }
        lock.lock();
        decoding = false;
        sourceResident = resident;
        if (epoch == myEpoch) {  // a frame decoded across a seek request is dropped
          slotFrame[seq % uint64_t(slots)] = frame;
          ++produced;
          nextFrame = (frame + 1) % NT;
          frameCv.notify_all();
        }
        continue;
      }
      roomCv.wait(lock);
    }
  }

  // Oldest servable sequence number: not below a mutable take, not a slot being rewritten, and
  // at most back + 1 frames behind the consumer.
  uint64_t lowestResident() const {
    int64_t lo = int64_t(mutFloor);
    lo = std::max(lo, int64_t(produced) + (decoding ? 1 : 0) - int64_t(slots));
    lo = std::max(lo, int64_t(consumed) - int64_t(back) - 1);
    return uint64_t(std::max<int64_t>(lo, 0));
  }

  void seekLocked(int si) {
    if (si < 0 || si >= NT)
      throw std::runtime_error("qo_driver: seek(" + std::to_string(si) + ") outside [0," + std::to_string(NT) + ")");
    std::lock_guard<std::mutex> lock(mu);
    if (!error.empty()) throw std::runtime_error(error);
    position = si;
    const int32_t inLine =
        consumed < produced ? slotFrame[consumed % uint64_t(slots)] : (seekReq >= 0 ? seekReq : nextFrame);
    if (inLine == si) return;
    if (seekReq < 0) {
      for (uint64_t s = lowestResident(); s < produced; ++s) {
        if (slotFrame[s % uint64_t(slots)] == si) {
          consumed = s;
          roomCv.notify_all();
          return;
        }
      }
      if (si == nextFrame) {
        consumed = produced;
        roomCv.notify_all();
        return;
      }
    }
    consumed = produced;
    seekReq = si;
    ++epoch;
    ++seeks;
    roomCv.notify_all();
  }

  uint8_t* take(int* si, bool mutableTake) {
    std::unique_lock<std::mutex> lock(mu);
    while (error.empty()) {
      if (consumed < produced) {
        const size_t slot = size_t(consumed % uint64_t(slots));
        ++consumed;
        if (mutableTake) mutFloor = consumed;
        roomCv.notify_all();
        *si = slotFrame[slot];
        position = (*si + 1) % NT;
        return ring[slot].data();
      }
      if (stop) throw std::runtime_error("qo_driver: cursor closed");
      frameCv.wait(lock);
    }
    throw std::runtime_error(error);
  }

  int currentPosition() const {
    std::lock_guard<std::mutex> lock(mu);
    return position;
  }

  uint8_t* pullNext(int* si, bool mutableTake) {
    seekLocked(currentPosition());  // a no-op in sequential use
    return take(si, mutableTake);
  }
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int back)
    : impl_(std::make_unique<Impl>(std::move(source), ahead, back)),
      nt_(impl_->NT),
      w_(impl_->W),
      h_(impl_->H),
      frameBytes_(impl_->frameBytes),
      name_(impl_->sourceName) {}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int ahead, int back) {
  return std::make_unique<DriverCursor>(std::move(source), ahead, back);
}

int DriverCursor::pull(uint8_t* dst) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  int si;
  const uint8_t* frame = impl_->pullNext(&si, false);
  std::memcpy(dst, frame, frameBytes_);
  return si;
}

const uint8_t* DriverCursor::pull(int* si) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  return impl_->pullNext(si, false);
}

uint8_t* DriverCursor::pullMut(int* si) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  return impl_->pullNext(si, true);
}

int DriverCursor::pullAt(int si, uint8_t* dst) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  impl_->seekLocked(si);
  int got;
  const uint8_t* frame = impl_->take(&got, false);
  if (got != si)
    throw std::runtime_error("qo_driver: cursor yielded frame " + std::to_string(got) + " for si=" + std::to_string(si));
  std::memcpy(dst, frame, frameBytes_);
  return si;
}

const uint8_t* DriverCursor::pullAt(int si, int* got) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  impl_->seekLocked(si);
  return impl_->take(got, false);
}

uint8_t* DriverCursor::pullMutAt(int si, int* got) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  impl_->seekLocked(si);
  return impl_->take(got, true);
}

void DriverCursor::seek(int si) {
  std::lock_guard<std::mutex> lock(impl_->consumerMu);
  impl_->seekLocked(si);
}

int DriverCursor::position() const { return impl_->currentPosition(); }

size_t DriverCursor::residentBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return frameBytes_ * size_t(impl_->slots) + impl_->sourceResident;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->seeks;
}

namespace {

std::string manifestTextOrEmpty(const std::string& dir) {
  try {
    return readText(dir + "/manifest.json");
  } catch (const std::exception&) {
    return "";
  }
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int ahead, int back) {
  const std::string text = manifestTextOrEmpty(m.dir);
  std::string jpgDir = "target_frames", movie = "target_frames.mp4";
  std::string v;
  if (manifest_key::optMember(text, "target_frames", v)) jpgDir = v;
  if (manifest_key::optMember(text, "target_frames_mp4", v)) movie = v;

  const bool populated = exists(driver::jpgFramePath(m.dir + "/" + jpgDir, m.NT - 1));
  const std::string moviePath = resolveMember(m.dir, movie);

  const char* prefer = std::getenv("QO_DRIVER_PREFER_MP4");
  const bool preferMovie = prefer && std::strcmp(prefer, "1") == 0 && exists(moviePath);
  if (preferMovie && populated)
    std::fprintf(stderr,
                 "[qo-driver] QO_DRIVER_PREFER_MP4=1 \xE2\x80\x94 %s/ is populated and NOT used; %s is the member "
                 "this consumer reads\n",
                 jpgDir.c_str(), movie.c_str());
  if (!preferMovie && populated) {
    std::fprintf(stderr, "[qo-driver] %s/ (raw jpg, %d frames) \xE2\x80\x94 read one frame per pull\n", jpgDir.c_str(),
                 m.NT);
    return over(driver::openJpgDir(m.dir + "/" + jpgDir, m.NT, m.W, m.H), ahead, back);
  }
  if (!exists(moviePath))
    throw std::runtime_error("this bundle carries neither a populated " + jpgDir + "/ nor " + movie + " (" +
                             moviePath + ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a session.");
  auto source = driver::openMp4(moviePath, m.NT, m.W, m.H);
  std::fprintf(stderr,
               "[qo-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) \xE2\x80\x94 no frame "
               "of the driver is expanded ahead of the paste\n",
               movie.c_str(), source->name().c_str(), m.NT, m.W, m.H, std::max(ahead, 1), std::max(back, 0));
  return over(std::move(source), ahead, back);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int ahead, int back) {
  std::string name = "P_hevc.mov", v;
  if (manifest_key::optMember(manifestTextOrEmpty(m.dir), "P_hevc", v)) name = v;
  const std::string path = resolveMember(m.dir, name);
  if (!exists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  auto source = driver::openPriorHevc(path, m.NT, m.crop);
  std::fprintf(stderr,
               "[qo-prior] %s decoded IN PLACE (%s, %d frames %dx%d f16 CHW, look-ahead %d, history %d) \xE2\x80\x94 no "
               "P.f16 is expanded or mapped\n",
               name.c_str(), source->name().c_str(), m.NT, m.crop, m.crop, std::max(ahead, 1), std::max(back, 0));
  return over(std::move(source), ahead, back);
}

}  // namespace qo
