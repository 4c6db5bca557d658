#include "audio/qo_motion_members.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/qo_fs.h"
#include "qo/qo_bundle.h"

namespace qo::audio {
namespace {

// Values must stay representable as counts and must not lose the sign of the checks below.
int countValue(double v, const char* key) {
  if (!(v >= 0 && v <= 1e8) || v != std::floor(v)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return int(v);
}

bool numberAfter(const std::string& text, const char* key, bool required, double* out) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) {
    if (required) throw std::runtime_error(std::string("meta.json: missing ") + key);
    return false;
  }
  const size_t colon = text.find(':', at + quoted.size());
  if (colon == std::string::npos) throw std::runtime_error(std::string("meta.json: bad ") + key);
  const char* begin = text.c_str() + colon + 1;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE || !std::isfinite(v)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  *out = v;
  return true;
}

}  // namespace

MotionMeta parseMotionMeta(const std::string& text) {
  MotionMeta m;
  double v = 0;
  numberAfter(text, "nt", true, &v);
  m.nt = countValue(v, "nt");
  numberAfter(text, "n_src", true, &v);
  m.nSrc = countValue(v, "n_src");
  numberAfter(text, "n_emo", true, &v);
  m.nEmo = countValue(v, "n_emo");
  numberAfter(text, "s_bridge", true, &v);
  m.sBridge = float(v);
  if (numberAfter(text, "delta_pitch", false, &v)) m.deltaPitch = float(v);
  return m;
}

std::string readWholeFile(const std::string& path) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  if (std::ferror(f.get())) throw std::runtime_error("short read " + path);
  return text;
}

std::vector<float> readExactFloats(const std::string& path, size_t count) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  if (std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("short read " + path);
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) throw std::runtime_error("short read " + path);
  // A trailing partial float counts against the file: it is not the member it claims to be.
  if (size_t(size) != count * sizeof(float)) {
    std::string n = std::to_string(size_t(size) / sizeof(float));
    if (size % long(sizeof(float))) n += " and " + std::to_string(size % long(sizeof(float))) + " bytes";
    throw std::runtime_error(path + ": " + n + " floats, expected " + std::to_string(count));
  }
  std::vector<float> v(count);
  if (count && std::fread(v.data(), sizeof(float), count, f.get()) != count) throw std::runtime_error("short read " + path);
  return v;
}

MotionMembers readMotionMembers(const std::string& dir) {
  MotionMembers m;
  m.meta = parseMotionMeta(readWholeFile(dir + "/meta.json"));
  if (m.meta.nSrc != m.meta.nt) throw std::runtime_error("qo_motion: n_src != nt unsupported");
  if (m.meta.nt < 1) throw std::runtime_error("meta.json: nt is 0: the motion directory has no driver rows");
  if (m.meta.nEmo < 1) throw std::runtime_error("meta.json: n_emo is 0: at least one emotion row is needed");
  const auto member = [&](const char* name, size_t count) { return readExactFloats(dir + "/" + name, count); };
  m.window = member("hubert_stft_window.bin", kFftSize);
  m.binmat = member("hubert_stft_binmat.bin", size_t(kMelBins) * kMelBands);
  m.fmean = member("hubert_fmean.bin", 1024);
  m.fstd = member("hubert_fstd.bin", 1024);
  m.emo = member("emo.bin", size_t(m.meta.nEmo) * 8);
  m.chXsInfo = member("ch_xs_info.bin", kMotionDesc);
  m.chSc = member("ch_sc.bin", 63);
  m.chEyeOpen = member("ch_eye_open.bin", 2);
  m.chEyeBall = member("ch_eye_ball.bin", 6);
  m.vMinMax = member("v_min_max.bin", 2 * kMotionRow);
  m.srcXsInfo = member("src_xs_info.bin", size_t(m.meta.nSrc) * kMotionDesc);
  m.target = readExactFloats(resolveMember(dir, "xs_target.bin"), size_t(m.meta.nt) * 63);
  return m;
}

}  // namespace qo::audio
