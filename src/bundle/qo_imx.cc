#include "bundle/qo_imx.h"

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
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

  const std::string part = path + ".part";
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

std::string unwrapDirFor(const std::string& container) {
  std::string name = fs::baseName(container);
  if (fs::endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!fs::endsWith(name, ".qobundle")) name += ".qobundle";

  const char* env = std::getenv("QO_IMX_UNWRAP_ROOT");
  std::string root = (env && *env) ? std::string(env) : fs::dirName(container);
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + "/" + name;
}

std::string unwrap(const std::string& container) {
  const std::string dir = unwrapDirFor(container);
  const std::string marker = dir + kMarkerSuffix;
  std::lock_guard<std::mutex> lock(unwrapMutex());

  if (fs::isDirectory(dir) && fs::exists(marker)) return dir;
  // A container named *.qobundle unwraps onto itself; never delete what is not an unwrap dir.
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

  // Left uninitialised: small members touch only the pages they use.
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  for (const TocEntry& e : toc) {
    if (isUnsafeMemberName(e.name))
      throw std::runtime_error(container + ": refusing unsafe member name '" + e.name + "'");
    if (isSyntheticManifest(c.get(), e)) continue;
    materialise(c.get(), container, dir, e, buf.get());
  }
  c.reset();

  // The marker says "complete"; it must never exist with partial content.
  File m(std::fopen(marker.c_str(), "wb"));
  if (!m) throw std::runtime_error("cannot write unwrap marker " + marker);
  const std::string base = fs::baseName(container);
  bool ok = std::fwrite(base.data(), 1, base.size(), m.get()) == base.size();
  ok = (std::fclose(m.release()) == 0) && ok;
  if (!ok) {
    std::remove(marker.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }

  std::fprintf(stderr, "[qo] unwrapped %s -> %s\n", container.c_str(), dir.c_str());
  return dir;
}

}  // namespace qo::imx
