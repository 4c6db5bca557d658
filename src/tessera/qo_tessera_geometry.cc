// The geometry stamp (mouth window and teeth band) and the blend head's serve config.
#include <cmath>
#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"

namespace qo::tessera {

const std::array<const char*, GeometryStamp::kFields>& GeometryStamp::keys() {
  static const std::array<const char*, kFields> k = {"canvas_w", "canvas_h", "window_x0", "window_y0",
                                                      "window_w", "window_h", "pad",       "band_r0",
                                                      "band_r1",  "band_c0",  "band_c1",   "shift_margin"};
  return k;
}

std::array<int32_t, GeometryStamp::kFields> GeometryStamp::values() const {
  return {canvas_w, canvas_h, window_x0, window_y0, window_w, window_h,
          pad,      band_r0,  band_r1,   band_c0,   band_c1,  shift_margin};
}

GeometryStamp GeometryStamp::fromValues(const std::array<int32_t, kFields>& v) {
  GeometryStamp s;
  s.canvas_w = v[0], s.canvas_h = v[1], s.window_x0 = v[2], s.window_y0 = v[3];
  s.window_w = v[4], s.window_h = v[5], s.pad = v[6], s.band_r0 = v[7];
  s.band_r1 = v[8], s.band_c0 = v[9], s.band_c1 = v[10], s.shift_margin = v[11];
  return s;
}

GeometryStamp GeometryStamp::fromJson(const json::JVal& object, const std::string& context) {
  std::array<int32_t, kFields> v{};
  for (int i = 0; i < kFields; ++i) v[size_t(i)] = json::reqInt(object, keys()[size_t(i)], context);
  return fromValues(v);
}

std::string GeometryStamp::text() const {
  const auto v = values();
  std::string s = "{";
  for (int i = 0; i < kFields; ++i) {
    if (i) s += ", ";
    s += std::string(keys()[size_t(i)]) + "=" + std::to_string(v[size_t(i)]);
  }
  return s + "}";
}

bool operator==(const GeometryStamp& a, const GeometryStamp& b) { return a.values() == b.values(); }

void GeometryStamp::validate() const {
  // 64-bit sums: a hostile stamp near the int32 limits must not wrap into a coherent one.
  const int64_t x0 = window_x0, y0 = window_y0, w = window_w, h = window_h, p = pad, m = shift_margin;
  const int64_t r0 = band_r0, r1 = band_r1, c0 = band_c0, c1 = band_c1;
  std::string bad;
  auto rule = [&](bool broken, const char* text) {
    if (broken) bad += std::string(" ") + text + ";";
  };
  rule(w < 1 || h < 1, "window dims must be positive");
  rule(x0 < 0 || x0 + w > canvas_w, "window x-range escapes canvas");
  rule(y0 < 0 || y0 + h > canvas_h, "window y-range escapes canvas");
  rule(r0 < 0 || r0 >= r1 || r1 > h, "band rows escape window");
  rule(c0 < 0 || c0 >= c1 || c1 > w, "band cols escape window");
  rule(m < 0 || p < 1, "pad/shift_margin must be positive");
  rule(r0 + p < m || r1 + p + m > h + 2 * p, "stored band rows escape patch");
  rule(c0 + p < m || c1 + p + m > w + 2 * p, "stored band cols escape patch");
  if (!bad.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + bad);
}

namespace {

// An integer setting: truncated toward zero; present but not a number reads as 0.
int32_t intSetting(const json::JVal& block, const char* blockName, const char* key) {
  const json::JVal& v = block.req(key);
  if (!v.isNumber()) return 0;
  int32_t out = 0;
  if (!json::toInt32(v.num, &out))
    throw std::runtime_error(std::string("teeth: tessera_head.v1 config has a bad ") + blockName + "." + key + " (" +
                             std::to_string(v.num) + " does not fit a 32-bit integer)");
  return out;
}

void requirePositive(int32_t v, const char* key) {
  if (v < 1)
    throw std::runtime_error(std::string("teeth: tessera_head.v1 config has a bad retrieval.") + key + "=" +
                             std::to_string(v) + " — it must be at least 1, or the retrieval's short list is empty "
                             "and no donor reaches the mouth");
}

void requireNonNegative(int32_t v, const char* key) {
  if (v < 0)
    throw std::runtime_error(std::string("teeth: tessera_head.v1 config has a bad temporal.") + key + "=" +
                             std::to_string(v) + " — a donor count cannot be negative");
}

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  json::JParser parser(text.data(), text.data() + text.size());
  const json::JVal top = parser.val();
  const json::JVal* retrieval = top.find("retrieval");
  const json::JVal* temporal = top.find("temporal");
  if (!retrieval || !temporal || !retrieval->isObject() || !temporal->isObject())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults (W3-01)");
  ServeConfig c;
  c.kshort = intSetting(*retrieval, "retrieval", "kshort");
  const json::JVal& tol = retrieval->req("aperture_tol");
  c.aperture_tol = tol.isNumber() ? tol.num : 0.0;
  c.cut = intSetting(*retrieval, "retrieval", "cut");
  c.K = intSetting(*retrieval, "retrieval", "K");
  c.hysteresis = intSetting(*temporal, "temporal", "hysteresis");
  c.lookahead = intSetting(*temporal, "temporal", "lookahead");
  requirePositive(c.kshort, "kshort");
  requirePositive(c.cut, "cut");
  requirePositive(c.K, "K");
  requireNonNegative(c.hysteresis, "hysteresis");
  requireNonNegative(c.lookahead, "lookahead");
  if (const json::JVal* decode = top.find("decode"); decode && decode->isObject()) {
    if (const json::JVal* env = decode->find("envelope_clamp_255")) {
      const double e = env->isNumber() ? env->num : 0.0;
      if (!(std::fabs(e - 12.0) <= 1e-6))
        throw std::runtime_error(
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated "
            "quantity");
    }
  }
  return c;
}

}  // namespace qo::tessera
