// Identity assets by source-frame index, and the keypoint drive tables.
//
//   qo::Identity id(manifest);                 // maps pooled64.f16 / P.f16 / fs_red.f16, reads M.f32
//   const uint16_t* prior = id.P(si);         // 3 x crop x crop halves (mapped, or from the movie)
//   const float* M = id.M(si);                // paste transform, rescaled to the canvas
//   qo::Drive d = qo::loadDrive(manifest);    // xs, xd (frames x 63 floats), si (frames)
//
// Large members are mapped read-only and never copied; a movie-backed prior is decoded frame by
// frame through a look-ahead cursor opened on first use. Accessors may be called from several
// threads, but P() and walkP() on a movie-backed prior serve one consumer at a time. Failures
// throw std::runtime_error naming the member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qo/qo_bundle.h"
#include "qo/qo_export.h"

namespace qo {

class DriverCursor;

// Converts n binary16 values to binary32 (exact).
QO_API void halfToFloat(const uint16_t* in, float* out, size_t n);

// Refuses a bundle that would leave the renderer without any warp prior.
QO_API void ensureIdentityMembers(const Manifest& m);

// A whole file mapped private and read-only.
class QO_API MappedFile {
 public:
  MappedFile() = default;
  // Throws "cannot open", "size mismatch" (also when fstat fails) or "mmap failed" + path.
  MappedFile(const std::string& path, uint64_t expectedBytes);
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  const uint8_t* data_ = nullptr;
  void* base_ = nullptr;
  size_t size_ = 0;
};

class QO_API Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  static constexpr size_t kPooledHalves = 65536;
  static constexpr size_t kFsRedHalves = 262144;

  const uint16_t* pooled64(int si) const;
  const uint16_t* fsRed(int si) const;  // only when fs_red.f16 was mapped (hasFsRed())
  const float* M(int si) const;
  // The warp prior of si: into the mapping, or the movie cursor's frame (valid until the cursor
  // reuses that slot).
  const uint16_t* P(int si);
  // With a movie-backed prior: pull frame si and drop it (keeps the cursor in step).
  void walkP(int si);
  DriverCursor& prior();

  std::string priorBackend();
  size_t priorResidentBytes();
  uint64_t priorSeeks();

  bool hasFsRed() const { return bool(fsRed_); }
  bool hasMappedPrior() const { return bool(prior_); }
  const std::string& hevcPath() const { return hevcPath_; }
  int NT() const { return nt_; }
  int crop() const { return crop_; }
  const Manifest& manifest() const { return manifest_; }

  // Rescales M from the paste-space stamp to the W x H canvas (called by the constructor).
  void rescaleM(const Manifest& m);

 private:
  int32_t nt_, crop_;
  MappedFile pooled_, prior_, fsRed_;
  std::vector<float> m_;
  std::string hevcPath_;
  Manifest manifest_;
  std::once_flag priorOnce_;
  std::unique_ptr<DriverCursor> priorCursor_;
};

struct Drive {
  std::vector<float> xs;    // frames x 63: source keypoints
  std::vector<float> xd;    // frames x 63: driven keypoints
  std::vector<int32_t> si;  // frames: source-frame index, each in [0, NT)
  int32_t frames = 0;
};

QO_API Drive loadDrive(const Manifest& m);

}  // namespace qo
