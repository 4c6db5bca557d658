// The teeth members' JSON reader: a whole value tree, faults as fixed "teeth:" texts.
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "tessera/qo_tessera.h"

namespace qo::tessera::json {
namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

bool isWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const JVal* JVal::find(const std::string& key) const {
  for (const auto& m : obj)
    if (m.first == key) return &m.second;
  return nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  if (const JVal* v = find(key)) return *v;
  throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
}

void JParser::ws() {
  while (p_ < end_ && isWs(*p_)) ++p_;
}

JVal JParser::val() {
  ws();
  if (p_ >= end_) fail("teeth: JSON truncated");
  const char c = *p_;
  if (c == '{') return objv();
  if (c == '[') return arrv();
  JVal v;
  if (c == '"') {
    v.kind = JVal::Kind::kString;
    v.str = strv();
    return v;
  }
  const size_t left = size_t(end_ - p_);
  if (left >= 4 && std::memcmp(p_, "true", 4) == 0) {
    v.kind = JVal::Kind::kBool;
    v.b = true;
    p_ += 4;
    return v;
  }
  if (left >= 5 && std::memcmp(p_, "false", 5) == 0) {
    v.kind = JVal::Kind::kBool;
    p_ += 5;
    return v;
  }
  if (left >= 4 && std::memcmp(p_, "null", 4) == 0) {
    p_ += 4;
    return v;
  }
  return number();
}

// Decimal numbers only ([+-] digits [. digits] [e [+-] digits], or a leading "."): the words and
// hexadecimal forms a C conversion would also take never reach a member as a number.
JVal JParser::number() {
  const char* s = p_;
  const char* q = p_;
  if (q < end_ && (*q == '-' || *q == '+')) ++q;
  const char* digits = q;
  while (q < end_ && isDigit(*q)) ++q;
  bool any = q > digits;
  if (q < end_ && *q == '.') {
    const char* frac = ++q;
    while (q < end_ && isDigit(*q)) ++q;
    any = any || q > frac;
  }
  if (!any) fail("teeth: bad JSON number");
  if (q < end_ && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    if (e < end_ && (*e == '-' || *e == '+')) ++e;
    const char* ed = e;
    while (e < end_ && isDigit(*e)) ++e;
    if (e > ed) q = e;  // a bare "e" is not part of the number
  }
  const char* from = (*s == '+') ? s + 1 : s;
  double d = 0.0;
  const auto r = std::from_chars(from, q, d);
  if (r.ec != std::errc() || r.ptr != q || !std::isfinite(d)) fail("teeth: bad JSON number");
  p_ = q;
  JVal v;
  v.kind = JVal::Kind::kNumber;
  v.num = d;
  return v;
}

std::string JParser::strv() {
  ++p_;  // the opening quote (whatever character stands there)
  std::string out;
  while (p_ < end_) {
    const char c = *p_++;
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (p_ >= end_) break;
    const char e = *p_++;
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u':
        out.push_back('?');
        if (end_ - p_ >= 4) p_ += 4;
        break;
      default: out.push_back(e);
    }
  }
  fail("teeth: JSON string not terminated");
}

JVal JParser::objv() {
  if (++depth_ > kMaxDepth) fail("teeth: JSON nested deeper than 256 levels");
  ++p_;
  ws();
  JVal v;
  v.kind = JVal::Kind::kObject;
  if (p_ >= end_) fail("teeth: malformed JSON object");
  if (*p_ == '}') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    ws();
    if (p_ >= end_) fail("teeth: malformed JSON object");
    std::string key = strv();
    ws();
    if (p_ < end_ && *p_ == ':') ++p_;
    JVal member = val();
    v.obj.push_back(JMember{std::move(key), std::move(member)});
    ws();
    if (p_ >= end_) fail("teeth: malformed JSON object");
    const char c = *p_++;
    if (c == ',') continue;
    if (c == '}') break;
    fail("teeth: malformed JSON object");
  }
  --depth_;
  return v;
}

JVal JParser::arrv() {
  if (++depth_ > kMaxDepth) fail("teeth: JSON nested deeper than 256 levels");
  ++p_;
  ws();
  JVal v;
  v.kind = JVal::Kind::kArray;
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    ws();
    if (p_ >= end_) fail("teeth: malformed JSON array");
    const char c = *p_++;
    if (c == ',') continue;
    if (c == ']') break;
    fail("teeth: malformed JSON array");
  }
  --depth_;
  return v;
}

JVal parseJson(const std::string& text, const std::string& name) {
  try {
    JParser p(text.data(), text.data() + text.size());
    return p.val();
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + name + " is not readable JSON: " + e.what());
  }
}

double reqNum(const JVal& object, const std::string& key, const std::string& context) {
  const JVal* v = object.find(key);
  if (!v || !v->isNumber()) throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->num;
}

bool toInt32(double v, int32_t* out) {
  if (!std::isfinite(v)) return false;
  const double t = std::trunc(v);
  if (t < -2147483648.0 || t > 2147483647.0) return false;
  *out = int32_t(t);
  return true;
}

int32_t reqInt(const JVal& object, const std::string& key, const std::string& context) {
  const double d = reqNum(object, key, context);
  int32_t out = 0;
  if (!toInt32(d, &out))
    throw std::runtime_error("teeth: " + context + " has a bad numeric '" + key + "' (" + std::to_string(d) +
                             " does not fit a 32-bit integer)");
  return out;
}

std::string optStr(const JVal& object, const std::string& key, const std::string& fallback) {
  const JVal* v = object.find(key);
  return v && v->isString() ? v->str : fallback;
}

}  // namespace qo::tessera::json
