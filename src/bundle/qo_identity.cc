#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest.h"
#include "bundle/qo_manifest_key.h"
#include "bundle/qo_raw.h"
#include "qo/qo_driver.h"
#include "qo/qo_identity.h"
#include "qo/qo_simd.h"

namespace qo {

void halfToFloat(const uint16_t* in, float* out, size_t n) { simd::f16ToF32(in, out, n); }

MappedFile::MappedFile(const std::string& path, uint64_t expectedBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) != expectedBytes) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  void* base = expectedBytes ? ::mmap(nullptr, size_t(expectedBytes), PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  ::close(fd);
  if (base == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  base_ = base;
  data_ = static_cast<const uint8_t*>(base);
  size_ = size_t(expectedBytes);
}

MappedFile::~MappedFile() {
  if (base_) ::munmap(base_, size_);
}

MappedFile::MappedFile(MappedFile&& o) noexcept : data_(o.data_), base_(o.base_), size_(o.size_) {
  o.data_ = nullptr;
  o.base_ = nullptr;
  o.size_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, size_);
    data_ = o.data_;
    base_ = o.base_;
    size_ = o.size_;
    o.data_ = nullptr;
    o.base_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

namespace {

bool statable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string manifestText(const Manifest& m) { return readFile(m.dir + "/manifest.json"); }

}  // namespace

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = manifestText(m);
  std::string raw = "P.f16", v;
  if (manifest_key::optMember(text, "P_rgb", v)) raw = v;
  const bool welded = statable(resolveMember(m.dir, "P.f16"));
  const bool fsRed = statable(resolveMember(m.dir, "fs_red.f16"));
  if (raw != "P.f16" && statable(resolveMember(m.dir, raw)) && !welded && !fsRed)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + raw +
        "' (P_rgb) but qo::Identity maps the welded name P.f16 and would find nothing \xE2\x80\x94 it maps NOTHING "
        "silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather than rendering off a "
        "prior nothing will read.");
  if (welded || fsRed) return;
  std::string movie;
  if (!manifest_key::optMember(text, "P_hevc", movie))
    throw std::runtime_error("this bundle carries neither " + raw +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from \xE2\x80\x94 the "
                             "renderer has no warp prior and qo::Identity would hand it a null pointer. REFUSING to "
                             "create a session.");
  const std::string path = resolveMember(m.dir, movie);
  if (!statable(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + movie + "' and the file is not there (" + path +
                             ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& m) : nt_(m.NT), crop_(m.crop), manifest_(m) {
  // A manifest built by hand skips the loader's checks; a wrapped product would map a member far
  // smaller than the frames later addressed in it.
  const uint64_t nt = uint64_t(std::max(nt_, 0)), crop = uint64_t(std::max(crop_, 0));
  uint64_t priorBytes;
  if (__builtin_mul_overflow(nt, crop * crop, &priorBytes) || __builtin_mul_overflow(priorBytes, 6, &priorBytes) ||
      priorBytes > uint64_t(SIZE_MAX))
    throw std::runtime_error("qo::Identity: NT=" + std::to_string(nt_) + " source frames of a " + std::to_string(crop_) +
                             "x" + std::to_string(crop_) +
                             " warp prior (NT x crop x crop x 6 bytes) do not fit in 64 bits \xE2\x80\x94 refusing a "
                             "manifest whose members cannot be addressed");
  ensureIdentityMembers(m);
  pooled_ = MappedFile(resolveMember(m.dir, "pooled64.f16"), nt * kPooledHalves * 2);
  const std::string priorPath = resolveMember(m.dir, "P.f16");
  const std::string fsRedPath = resolveMember(m.dir, "fs_red.f16");
  if (fs::canRead(priorPath)) {
    prior_ = MappedFile(priorPath, priorBytes);
  } else if (!fs::canRead(fsRedPath)) {
    std::string movie = "P_hevc.mov", v;
    if (manifest_key::optMember(manifestText(m), "P_hevc", v)) movie = v;
    const std::string path = resolveMember(m.dir, movie);
    if (fs::canRead(path)) hevcPath_ = path;
  }
  if (fs::canRead(fsRedPath)) fsRed_ = MappedFile(fsRedPath, nt * kFsRedHalves * 2);
  m_ = readRaw<float>(resolveMember(m.dir, "M.f32"), nt * 6);
  rescaleM(m);
}

Identity::~Identity() {
  if (priorCursor_)
    std::fprintf(stderr, "[qo-prior] closed: %ld source seek(s) over the session (%s)\n", long(priorCursor_->seeks()),
                 priorCursor_->name().c_str());
}

void Identity::rescaleM(const Manifest& m) {
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error(
        "qo::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 refusing to paste M "
        "without knowing the space it was authored in");
  if (m.M_src_w == m.W && m.M_src_h == m.H) return;
  const double sx = double(m.W) / double(m.M_src_w), sy = double(m.H) / double(m.M_src_h);
  for (size_t t = 0; t + 6 <= m_.size(); t += 6) {
    for (int k = 0; k < 3; ++k) m_[t + k] = float(double(m_[t + k]) * sx);
    for (int k = 3; k < 6; ++k) m_[t + k] = float(double(m_[t + k]) * sy);
  }
}

const uint16_t* Identity::pooled64(int si) const {
  return reinterpret_cast<const uint16_t*>(pooled_.data()) + size_t(si) * kPooledHalves;
}

const uint16_t* Identity::fsRed(int si) const {
  return reinterpret_cast<const uint16_t*>(fsRed_.data()) + size_t(si) * kFsRedHalves;
}

const float* Identity::M(int si) const { return m_.data() + size_t(si) * 6; }

DriverCursor& Identity::prior() {
  std::call_once(priorOnce_, [this] { priorCursor_ = DriverCursor::openPrior(manifest_, 2, 11); });
  return *priorCursor_;
}

const uint16_t* Identity::P(int si) {
  if (prior_) return reinterpret_cast<const uint16_t*>(prior_.data()) + size_t(si) * size_t(crop_) * size_t(crop_) * 3;
  int got = -1;
  const uint8_t* frame = prior().pullAt(si, &got);
  if (got != si)
    throw std::runtime_error("qo_driver: cursor yielded frame " + std::to_string(got) + " for si=" + std::to_string(si));
  return reinterpret_cast<const uint16_t*>(frame);
}

void Identity::walkP(int si) {
  if (prior_ || hevcPath_.empty()) return;
  int got;
  prior().pullAt(si, &got);
}

std::string Identity::priorBackend() {
  if (prior_) return "mmap P.f16";
  if (!hevcPath_.empty()) return prior().name();
  return "none";
}

size_t Identity::priorResidentBytes() {
  if (prior_ || hevcPath_.empty()) return 0;
  return prior().residentBytes();
}

uint64_t Identity::priorSeeks() {
  if (prior_ || hevcPath_.empty()) return 0;
  return prior().seeks();
}

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  const uint64_t n = m.frames < 0 ? 0 : uint64_t(m.frames);
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), n * 63);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), n * 63);
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), n);
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace qo
