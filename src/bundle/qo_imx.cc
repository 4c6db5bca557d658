#include "bundle/qo_imx.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"

namespace qo::imx {
namespace {

using fs::File;

constexpr size_t kCopyChunk = size_t{8} << 20;     // 8 MiB
constexpr uint64_t kManifestProbeMax = 4u << 20;  // 4 MiB
constexpr const char* kLockSuffix = ".imx_lock";

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

// Orders unwraps of one directory across processes, as the mutex does within this one. The lock
// file stays: removing it would let a later process lock a new file while another holds the old.
class ProcessLock {
 public:
  explicit ProcessLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // a read-only place
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd_);
      fd_ = -1;
      errno = err;
    }
    if (fd_ < 0) error_ = std::strerror(errno);
  }
  ~ProcessLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  bool held() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

// Temporary names end in ".part", a suffix no member may carry, and hold the process id, so
// neither a member nor another process's writer can share them.
std::string partName(const std::string& path) { return path + "." + std::to_string(::getpid()) + ".part"; }

// What the marker records about the container it was unpacked from: the base name (the whole
// marker of earlier versions), then the real path, size and modification time. Another file at
// the path, or the same file edited, no longer matches.
std::string containerStamp(const std::string& container, const struct stat& st) {
  char mtime[48];
  std::snprintf(mtime, sizeof mtime, "%lld.%09ld", (long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec);
  return fs::baseName(container) + "\npath " + fs::absolutePath(container) + "\nsize " +
         std::to_string((long long)st.st_size) + "\nmtime " + mtime + "\n";
}

std::string readSmallFile(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  std::string s;
  char buf[4096];
  size_t got;
  while (f && (got = std::fread(buf, 1, sizeof buf, f.get())) > 0 && s.size() < 65536) s.append(buf, got);
  return s;
}

// FNV-1a, 64 bits: a stable short name for a path, not a security boundary (the marker's
// recorded path decides whether an unwrap is reused).
uint64_t fnv1a(const std::string& s) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// The name with empty and "." components dropped: "d//./x" and "d/x" unpack to one file.
std::string normalisedName(const std::string& name) {
  std::string out;
  size_t at = 0;
  while (at <= name.size()) {
    size_t slash = name.find('/', at);
    if (slash == std::string::npos) slash = name.size();
    const std::string part = name.substr(at, slash - at);
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "/") + part;
    at = slash + 1;
  }
  return out;
}

uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool seekTo(FILE* f, uint64_t offset) {
  if (offset > uint64_t(INT64_MAX)) return false;
  return ::fseeko(f, off_t(offset), SEEK_SET) == 0;
}

struct TocEntry {
  std::string name;
  uint64_t offset;
  uint64_t size;
};

// A synthetic manifest marks a container whose real manifest is supplied elsewhere; it is not
// materialised.
bool isSyntheticManifest(FILE* f, const TocEntry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kManifestProbeMax) return false;
  if (!seekTo(f, e.offset)) return false;
  std::string text(size_t(e.size), '\0');
  if (std::fread(text.data(), 1, text.size(), f) != text.size()) return false;
  return text.find("_imx_synthetic_manifest") != std::string::npos;
}

// Copies one member to D/name through name.part, so no member is ever visible half-written.
void materialise(FILE* c, const std::string& container, const std::string& dir, const TocEntry& e, char* buf) {
  const std::string path = dir + "/" + e.name;
  const std::string parent = fs::dirName(path);
  if (!fs::mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
  if (!seekTo(c, e.offset)) throw std::runtime_error(container + ": cannot seek to member " + e.name);

  const std::string part = partName(path);
  File out(std::fopen(part.c_str(), "wb"));
  if (!out) throw std::runtime_error("cannot write " + part);
  struct PartGuard {  // a failed copy leaves no stray .part behind
    const std::string& p;
    bool armed = true;
    ~PartGuard() {
      if (armed) std::remove(p.c_str());
    }
  } guard{part};

  uint64_t left = e.size;
  while (left > 0) {
    size_t want = size_t(std::min<uint64_t>(left, kCopyChunk));
    size_t got = std::fread(buf, 1, want, c);
    if (got == 0) throw std::runtime_error(container + ": truncated payload for member " + e.name);
    if (std::fwrite(buf, 1, got, out.get()) != got)
      throw std::runtime_error("short write materialising " + path);
    left -= got;
  }
  if (std::fflush(out.get()) != 0) throw std::runtime_error("flush failed materialising " + path);
  if (std::fclose(out.release()) != 0) throw std::runtime_error("flush failed materialising " + path);
  if (std::rename(part.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot place member " + path);
  guard.armed = false;
}

}  // namespace

bool hasMagic(const std::string& path) {
  if (!fs::isRegularFile(path)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  char head[4];
  return f && std::fread(head, 1, 4, f.get()) == 4 && std::memcmp(head, kMagic, 4) == 0;
}

bool isUnsafeMemberName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         name.find('\0') != std::string::npos;
}

bool isReservedMemberName(const std::string& name) { return fs::endsWith(name, ".part"); }

std::string reservedNameRefusal(const std::string& where, const std::string& name) {
  return where + ": refusing member name '" + name +
         "' \xE2\x80\x94 names ending in \".part\" are reserved for members being unpacked";
}

std::string unwrapDirFor(const std::string& container) {
  std::string name = fs::baseName(container);
  if (fs::endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (fs::endsWith(name, ".qobundle")) name.resize(name.size() - 9);

  const char* env = std::getenv("QO_IMX_UNWRAP_ROOT");
  const bool shared = env && *env;
  std::string root = shared ? std::string(env) : fs::dirName(container);
  while (!root.empty() && root.back() == '/') root.pop_back();
  // Containers from many directories meet under a shared root; their base names may coincide.
  if (shared) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "-%016llx", (unsigned long long)fnv1a(fs::absolutePath(container)));
    name += hash;
  }
  return root + "/" + name + ".qobundle";
}

std::string unwrap(const std::string& container) {
  const std::string dir = unwrapDirFor(container);
  const std::string marker = dir + kMarkerSuffix;
  // A container named *.qobundle unwraps onto itself; never delete what is not an unwrap dir.
  if (fs::exists(dir) && !fs::isDirectory(dir)) throw std::runtime_error("cannot create unwrap dir " + dir);
  std::lock_guard<std::mutex> lock(unwrapMutex());
  const ProcessLock processLock(dir + kLockSuffix);

  struct stat st;
  if (::stat(container.c_str(), &st) != 0) throw std::runtime_error("cannot open container " + container);
  const std::string stamp = containerStamp(container, st);
  if (fs::isDirectory(dir) && readSmallFile(marker) == stamp) return dir;
  if (!processLock.held())
    throw std::runtime_error("cannot lock " + dir + kLockSuffix + " (" + processLock.error() +
                             ") \xE2\x80\x94 without it another process could be unpacking " + container +
                             " into " + dir + " at the same time, so it is not unpacked here");

  // The marker goes first: a rebuild that fails or is cut short must not leave it vouching for
  // a partial directory.
  if (::unlink(marker.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("cannot remove the stale unwrap marker " + marker + " (" + std::strerror(errno) + ")");
  if (fs::exists(dir) && !fs::isDirectory(dir)) throw std::runtime_error("cannot create unwrap dir " + dir);
  fs::rmTree(dir);
  if (!fs::mkdirs(dir)) throw std::runtime_error("cannot create unwrap dir " + dir);

  File c(std::fopen(container.c_str(), "rb"));
  if (!c) throw std::runtime_error("cannot open container " + container);

  unsigned char head[8];
  if (std::fread(head, 1, 8, c.get()) != 8 || std::memcmp(head, kMagic, 4) != 0)
    throw std::runtime_error(container + ": not an IMX\\0 container");
  const uint16_t version = le16(head + 4);
  if (version != kVersion)
    throw std::runtime_error(container + ": unsupported IMX container version " + std::to_string(version));
  const uint16_t count = le16(head + 6);

  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    unsigned char len[2];
    if (std::fread(len, 1, 2, c.get()) != 2)
      throw std::runtime_error(container + ": truncated TOC at member " + std::to_string(i));
    TocEntry e;
    e.name.resize(le16(len));
    if (std::fread(e.name.data(), 1, e.name.size(), c.get()) != e.name.size())
      throw std::runtime_error(container + ": truncated member name at " + std::to_string(i));
    unsigned char pos[16];
    if (std::fread(pos, 1, 16, c.get()) != 16)
      throw std::runtime_error(container + ": truncated TOC offsets at member " + e.name);
    e.offset = le64(pos);
    e.size = le64(pos + 8);
    toc.push_back(std::move(e));
  }

  // Every name is checked before anything is written: a refused container leaves no member.
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < toc.size(); ++i) {
    const std::string& name = toc[i].name;
    if (isUnsafeMemberName(name))
      throw std::runtime_error(container + ": refusing unsafe member name '" + name + "'");
    if (isReservedMemberName(name)) throw std::runtime_error(reservedNameRefusal(container, name));
    const auto [it, fresh] = seen.emplace(normalisedName(name), i);
    if (!fresh)
      throw std::runtime_error(container + ": refusing duplicate member name '" + name + "' \xE2\x80\x94 entries " +
                               std::to_string(it->second) + " and " + std::to_string(i) + " both unpack to " +
                               it->first + ", and only one of them could survive");
  }

  // Left uninitialised: small members touch only the pages they use.
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  for (const TocEntry& e : toc) {
    if (isSyntheticManifest(c.get(), e)) continue;
    materialise(c.get(), container, dir, e, buf.get());
  }
  c.reset();

  // The marker says "complete"; it must never exist with partial content, so it is written
  // aside and renamed into place.
  const std::string markerPart = partName(marker);
  File m(std::fopen(markerPart.c_str(), "wb"));
  if (!m) throw std::runtime_error("cannot write unwrap marker " + marker);
  bool ok = std::fwrite(stamp.data(), 1, stamp.size(), m.get()) == stamp.size();
  ok = (std::fclose(m.release()) == 0) && ok;
  if (!ok || std::rename(markerPart.c_str(), marker.c_str()) != 0) {
    std::remove(markerPart.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }

  std::fprintf(stderr, "[qo] unwrapped %s -> %s\n", container.c_str(), dir.c_str());
  return dir;
}

}  // namespace qo::imx
