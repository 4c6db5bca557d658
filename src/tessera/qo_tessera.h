// Teeth borrow: the JSON reader of the teeth members, the geometry stamp and serve config, and the
// blend-head weights read from their torch checkpoint.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qo::tessera {
namespace json {

struct JMember;

// One JSON value. Object members keep file order and duplicates; every lookup takes the first.
struct JVal {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool b = false;
  double num = 0.0;  // always finite: the reader refuses numbers a double cannot hold
  std::string str;
  std::vector<JVal> arr;
  std::vector<JMember> obj;  // members in file order

  bool isObject() const { return kind == Kind::kObject; }
  bool isArray() const { return kind == Kind::kArray; }
  bool isNumber() const { return kind == Kind::kNumber; }
  bool isString() const { return kind == Kind::kString; }
  // First member named `key`, or null when there is none (or this is not an object).
  const JVal* find(const std::string& key) const;
  // First member named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(const std::string& key) const;
};

struct JMember {
  std::string first;  // key
  JVal second;        // value
};

// Nesting deeper than this is refused, so hostile text cannot exhaust the stack.
inline constexpr int kMaxDepth = 256;

// Cursor over text that must outlive the parse. Every step is bounded by `end`.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), end_(end) {}
  JVal val();
  JVal objv();
  JVal arrv();
  std::string strv();
  const char* cursor() const { return p_; }

 private:
  void ws();
  JVal number();
  const char* p_;
  const char* end_;
  int depth_ = 0;
};

// Skips leading whitespace and parses one value; a fault comes back as
// "teeth: <name> is not readable JSON: <fault>". Text after the value is ignored.
JVal parseJson(const std::string& text, const std::string& name);

// Number of the first member `key`: "teeth: <context> lacks numeric '<key>'" when it is absent
// or not a number.
double reqNum(const JVal& object, const std::string& key, const std::string& context);

// reqNum truncated toward zero, refusing values outside int32 instead of wrapping.
int32_t reqInt(const JVal& object, const std::string& key, const std::string& context);

// Text of the first member `key` when it is a string, else `fallback`.
std::string optStr(const JVal& object, const std::string& key, const std::string& fallback);

// True (with *out set) when `v` truncated toward zero fits int32.
bool toInt32(double v, int32_t* out);

}  // namespace json

// Where the borrow works: the mouth window on the compose canvas and the teeth band inside it.
struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0;
  int32_t window_x0 = 0, window_y0 = 0;
  int32_t window_w = 0, window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0, band_r1 = 0;
  int32_t band_c0 = 0, band_c1 = 0;
  int32_t shift_margin = 0;

  static constexpr int kFields = 12;
  static const std::array<const char*, kFields>& keys();  // JSON keys, in field order

  std::array<int32_t, kFields> values() const;
  static GeometryStamp fromValues(const std::array<int32_t, kFields>& v);
  // Reads the twelve keys of `object` as required integers (errors name `context`).
  static GeometryStamp fromJson(const json::JVal& object, const std::string& context);
  // "{canvas_w=.., canvas_h=.., ...}"
  std::string text() const;

  // Stored band size (one bank frame).
  int32_t bandW() const { return band_c1 - band_c0 + 2 * shift_margin; }
  int32_t bandH() const { return band_r1 - band_r0 + 2 * shift_margin; }

  // Throws "teeth: GeometryStamp incoherent: <rule>; <rule>; ..." listing every broken rule.
  void validate() const;
};

bool operator==(const GeometryStamp& a, const GeometryStamp& b);

// Retrieval and temporal settings of the blend head.
struct ServeConfig {
  int32_t kshort = 512;
  double aperture_tol = 0.3;
  int32_t cut = 96;
  int32_t K = 64;
  int32_t hysteresis = 8;
  int32_t lookahead = 8;
  double luma_floor = 100.0;
  double rg_tol = 25.0;
  int32_t min_teeth_px = 32;
  double weight_carry = 0.6;
  bool lookahead_vote = true;

  // Parses the head-config member; refuses a config without its retrieval/temporal blocks or with
  // counts that would leave the retrieval without donors.
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

// Blend-head weights: BlendHead(16), or BlendHead8(16) with the synthesis arrays empty.
struct HeadWeights {
  std::vector<float> cand0_w, cand0_b, cand2_w, cand2_b, cand4_w, cand4_b;
  std::vector<float> syn0_w, syn0_b, syn2_w, syn2_b;
  float envelope_clamp = 12.0f / 255.0f;

  static constexpr size_t kBlendHeadParams = 4082;
  static constexpr size_t kBlendHead8Params = 3489;

  size_t params() const;
  bool hasSynthesis() const { return !syn0_w.empty(); }
};

// Reads a torch checkpoint (stored ZIP holding a pickled state dictionary) without torch.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);
HeadWeights loadHeadPt(const uint8_t* data, size_t size);

}  // namespace qo::tessera
