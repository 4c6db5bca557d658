#include "bundle/qo_manifest.h"

#include <sys/stat.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest_key.h"
#include "qo/qo_bundle.h"

namespace qo {
namespace {

using namespace manifest_key;

// Truncation toward zero; false for NaN and values outside int32 (a cast would be undefined).
bool toInt32(double v, int32_t* out) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
  *out = int32_t(v);
  return true;
}

int32_t intField(double v, const char* what) {
  int32_t r;
  if (!toInt32(v, &r)) throw std::runtime_error(std::string("manifest: bad ") + what);
  return r;
}

float floatField(double v) {
  if (v > FLT_MAX) return INFINITY;
  if (v < -FLT_MAX) return -INFINITY;
  return float(v);
}

double num(const std::string& text, const char* key) { return numberAt(text, findKey(text, key)); }

// fopen succeeds on a directory, whose "size" would then be read as a length.
void refuseDirectory(FILE* f, const std::string& path) {
  struct stat st;
  if (::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode))
    throw std::runtime_error("cannot read " + path + ": it is a directory, not a file");
}

}  // namespace

std::string readFile(const std::string& path) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  refuseDirectory(f.get(), path);
  if (std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("short read " + path);
  long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) throw std::runtime_error("short read " + path);
  std::string s(size_t(size), '\0');
  if (std::fread(s.data(), 1, s.size(), f.get()) != s.size()) throw std::runtime_error("short read " + path);
  return s;
}

std::string readText(const std::string& path) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  refuseDirectory(f.get(), path);
  std::string s;
  char buf[8192];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) s.append(buf, got);
  if (std::ferror(f.get())) throw std::runtime_error("short read " + path);
  return s;
}

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

Manifest loadManifest(const std::string& bundle) {
  Manifest m;
  m.dir = resolveBundlePath(bundle);
  const std::string text = readFile(m.dir + "/manifest.json");
  if (strField(text, "format") != "qo-bundle-v0") throw std::runtime_error("not an qo-bundle-v0: " + m.dir);

  // Dimensions that do not fit int32 are as bad as dimensions below 1.
  bool dimsOk = true;
  auto dim = [&](double v) {
    int32_t r = 0;
    dimsOk = toInt32(v, &r) && dimsOk;
    return r;
  };
  m.agent = strField(text, "agent");
  m.NT = dim(numFieldEither(text, "NT", "frame_count"));
  m.H = dim(num(text, "H"));
  m.W = dim(num(text, "W"));
  m.crop = dim(numFieldEither(text, "crop", "crop_size"));
  m.unsharp.amount = floatField(num(text, "amount"));
  m.unsharp.sigma = floatField(num(text, "sigma"));
  m.unsharp.ksize = intField(num(text, "ksize"), "ksize");
  m.frames = intField(num(text, "frames"), "frames");
  if (!dimsOk || m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  double sw, sh;
  const bool hasW = optNumEither(text, "M_src_w", "paste_source_width", &sw);
  const bool hasH = optNumEither(text, "M_src_h", "paste_source_height", &sh);
  if (hasW && hasH) {
    bool ok = toInt32(sw, &m.M_src_w) && toInt32(sh, &m.M_src_h);
    if (!ok) m.M_src_w = 0;  // reported below with the other bad stamps
  } else {
    const char* escape = std::getenv("OSTREL2_MSRC_MISSING_OK");
    if (escape && std::strcmp(escape, "1") == 0) {
      std::fprintf(stderr,
                   "[qo] WARNING OSTREL2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; "
                   "ASSUMING M was authored on this %dx%d canvas. If it was not, the face pastes off-target "
                   "(zq#144) and nothing will say so.\n",
                   m.dir.c_str(), m.W, m.H);
      m.M_src_w = m.W;
      m.M_src_h = m.H;
    } else {
      throw std::runtime_error(
          m.dir + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
                  "\xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the bundle "
          "(models/ostrel-2/inference/backfill_msrc), or set OSTREL2_MSRC_MISSING_OK=1 to restore the legacy "
          "assumption.");
    }
  }
  if (m.M_src_w < 1 || m.M_src_h < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  return m;
}

}  // namespace qo
