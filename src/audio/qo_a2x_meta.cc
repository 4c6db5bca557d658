#include "audio/qo_a2x_meta.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qo/qo_bundle.h"

namespace qo::audio {
namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// Position of the key's value (just past the blanks after its ':'), or npos. The key is found as
// an object key by the manifest's scanner, which steps over strings whole: a string value that
// spells the key is not it. A top-level key wins over nested ones; otherwise the first.
size_t valueStart(const std::string& text, const char* key) {
  size_t nested = std::string::npos;
  for (const manifest_key::KeyHit& hit : manifest_key::keyHits(text, key)) {
    if (hit.depth == 1) return size_t(hit.pos);
    if (nested == std::string::npos) nested = size_t(hit.pos);
  }
  return nested;
}

bool integerAt(const std::string& text, size_t p, int64_t* out) {
  if (p >= text.size()) return false;
  const char* begin = text.c_str() + p;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  *out = v;
  return true;
}

}  // namespace

bool metaInteger(const std::string& text, const char* key, int64_t* out) {
  return integerAt(text, valueStart(text, key), out);
}

A2xMeta parseA2xMeta(const std::string& text) {
  A2xMeta m;
  metaInteger(text, "h", &m.h);
  metaInteger(text, "window", &m.window);
  metaInteger(text, "left", &m.left);
  metaInteger(text, "layers", &m.layers);
  metaInteger(text, "silence_prime", &m.silencePrime);
  const size_t w = valueStart(text, "width");
  if (w != std::string::npos) {
    if (text.compare(w, 4, "true") == 0)
      m.width = 1;
    else if (text.compare(w, 5, "false") == 0)
      m.width = 0;
    else
      integerAt(text, w, &m.width);
  }
  return m;
}

std::string readMetaText(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return {};
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  return text;
}

std::vector<float> readFloatFile(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return {};
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return {};
  std::vector<float> v(size_t(size) / sizeof(float));
  if (std::fread(v.data(), sizeof(float), v.size(), f.get()) != v.size()) return {};
  return v;
}

}  // namespace qo::audio
