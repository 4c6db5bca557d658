#include "bundle/qo_manifest_key.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/qo_imx.h"

namespace qo::manifest_key {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skipSpace(const std::string& t, size_t i) {
  while (i < t.size() && isSpace(t[i])) ++i;
  return i;
}

[[noreturn]] void throwAmbiguous(const char* key, const std::vector<KeyHit>& hits) {
  std::string list;
  for (const KeyHit& h : hits) {
    if (!list.empty()) list += ", ";
    list += "byte " + std::to_string(h.pos);
  }
  throw std::runtime_error(
      std::string("manifest: key \"") + key + "\" is AMBIGUOUS \xE2\x80\x94 " + std::to_string(hits.size()) +
      " scalar occurrences (" + list +
      "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a nested "
      "block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
      "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the "
      "legacy manifest layout.");
}

constexpr double kAbsent = -1e300;

// The key's number, or kAbsent when the key has no scalar value.
double numberOrAbsent(const std::string& text, const char* key) {
  uint64_t pos = scalarValuePos(text, key);
  return pos == kNotFound ? kAbsent : numberAt(text, pos);
}

}  // namespace

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  std::vector<KeyHit> hits;
  const size_t klen = std::strlen(key), n = text.size();
  int32_t depth = 0;
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '{' || c == '[') {
      ++depth, ++i;
      continue;
    }
    if (c == '}' || c == ']') {
      --depth, ++i;
      continue;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    size_t close = i + 1;
    while (close < n && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
    if (close >= n) break;
    size_t after = skipSpace(text, close + 1);
    if (after < n && text[after] == ':' && close - i - 1 == klen && text.compare(i + 1, klen, key) == 0) {
      size_t v = skipSpace(text, after + 1);
      hits.push_back({v, depth, v < n && text[v] != '{' && text[v] != '['});
    }
    i = close + 1;
  }
  return hits;
}

uint64_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<KeyHit> scalar, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalar.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return top[0].pos;
  if (top.size() > 1) throwAmbiguous(key, top);
  if (scalar.size() == 1) return scalar[0].pos;
  if (scalar.size() > 1) throwAmbiguous(key, scalar);
  return kNotFound;
}

uint64_t findKey(const std::string& text, const char* key) {
  uint64_t pos = scalarValuePos(text, key);
  if (pos == kNotFound) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return pos;
}

double numberAt(const std::string& text, uint64_t pos) {
  if (pos >= text.size()) return 0.0;
  // strtod needs a terminator; text.c_str() provides one after the last value.
  return std::strtod(text.c_str() + pos, nullptr);
}

// The value must itself be a string: skipping ahead to the next quote would read a neighbour's.
std::string strField(const std::string& text, const char* key) {
  const size_t open = findKey(text, key);
  const size_t close = open < text.size() && text[open] == '"' ? text.find('"', open + 1) : std::string::npos;
  if (close == std::string::npos) throw std::runtime_error(std::string("manifest: bad string ") + key);
  return text.substr(open + 1, close - open - 1);
}

double numFieldEither(const std::string& text, const char* key, const char* alias) {
  double v;
  if (!optNumEither(text, key, alias, &v))
    throw std::runtime_error(std::string("manifest: missing key ") + key + "/" + alias);
  return v;
}

bool optNumEither(const std::string& text, const char* key, const char* alias, double* out) {
  double v = numberOrAbsent(text, key);
  if (v == kAbsent) v = numberOrAbsent(text, alias);
  if (v == kAbsent) return false;
  *out = v;
  return true;
}

bool optMember(const std::string& text, const char* key, std::string& out) {
  std::string name;
  if (!optStr(text, key, name)) return false;
  if (imx::isUnsafeMemberName(name))
    throw std::runtime_error(std::string("this bundle's manifest names ") + key + " '" + name +
                             "', which leads outside the bundle directory (an absolute name, a leading backslash, "
                             "\"..\" or a NUL byte) \xE2\x80\x94 a bundle's members are read only from inside it. "
                             "REFUSING to read it.");
  out = name;
  return true;
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  uint64_t pos = scalarValuePos(text, key);
  if (pos == kNotFound || pos >= text.size() || text[pos] != '"') return false;
  size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) return false;
  out = text.substr(pos + 1, close - pos - 1);
  return !out.empty();
}

}  // namespace qo::manifest_key
