// Blend-head weights from a torch checkpoint: a stored-ZIP reader and a pickle interpreter that
// knows exactly what a state dictionary uses and refuses everything else by name.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"

namespace qo::tessera {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

uint16_t rd16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t rd32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

struct Entry {
  std::string name;
  uint64_t start, size;
};

std::vector<Entry> readZip(const uint8_t* d, size_t n) {
  if (n < 22) fail("teeth: head .pt is not a zip");
  size_t eocd = n - 22;
  for (;; --eocd) {
    if (rd32(d + eocd) == 0x06054B50u) break;
    if (eocd == 0) fail("teeth: head .pt has no zip EOCD");
  }
  const unsigned count = rd16(d + eocd + 10);
  if (count == 0) fail("teeth: head .pt has no data.pkl");
  uint64_t at = rd32(d + eocd + 16);
  std::vector<Entry> entries;
  for (unsigned i = 0; i < count; ++i) {
    if (at + 46 > n || rd32(d + at) != 0x02014B50u) fail("teeth: head .pt central directory is malformed");
    const uint8_t* r = d + at;
    const uint64_t nameLen = rd16(r + 28), extraLen = rd16(r + 30), commentLen = rd16(r + 32);
    // The whole record, with its variable-length fields, must lie inside the file.
    if (at + 46 + nameLen + extraLen + commentLen > n) fail("teeth: head .pt central directory is malformed");
    if (rd16(r + 10) != 0)
      fail("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    const uint64_t csize = rd32(r + 20), usize = rd32(r + 24), local = rd32(r + 42);
    if (local + 30 > n) fail("teeth: head .pt local header out of range");
    const uint64_t start = local + 30 + rd16(d + local + 26) + rd16(d + local + 28);
    const uint64_t size = usize ? usize : csize;
    if (start > n || size > n - start) fail("teeth: head .pt entry out of range");
    entries.push_back({std::string(reinterpret_cast<const char*>(r + 46), size_t(nameLen)), start, size});
    at += 46 + nameLen + extraLen + commentLen;
  }
  return entries;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A pickle value. Tuples share their elements, so copying a value (memo gets) stays O(1) however
// deeply a hostile pickle nests them.
struct PVal {
  enum class Kind { kNone, kInt, kBool, kString, kGlobal, kTuple, kDict, kStorage, kTensor };
  Kind kind = Kind::kNone;
  int64_t i = 0;
  std::string s;  // string, global ("module name"), storage key, tensor storage key
  std::shared_ptr<const std::vector<PVal>> items;  // tuple
  int64_t offset = 0;                              // tensor storage offset, in floats
  std::vector<int64_t> shape;                      // tensor
};

constexpr uint32_t kMaxMemo = 1u << 16;

class Unpickler {
 public:
  Unpickler(const uint8_t* d, size_t n) : p_(d), end_(d + n) {}

  std::vector<std::pair<std::string, PVal>> run() {
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x28: marks_.push_back(stack_.size()); break;  // MARK
        case 0x29: push(tuple({})); break;                  // EMPTY_TUPLE
        case 0x2E: return std::move(state_);                // STOP
        case 0x4A: push(intVal(int32_t(rd32(take(4))))); break;  // BININT
        case 0x4B: push(intVal(byte())); break;                  // BININT1
        case 0x4D: push(intVal(rd16(take(2)))); break;           // BININT2
        case 0x4E: push(PVal()); break;                          // NONE
        case 0x51: push(persistent(pop())); break;               // BINPERSID
        case 0x52: {                                             // REDUCE
          PVal args = pop();
          PVal fn = pop();
          push(reduce(fn, args));
          break;
        }
        case 0x58: {  // BINUNICODE
          const uint32_t len = rd32(take(4));
          PVal v;
          v.kind = PVal::Kind::kString;
          v.s.assign(reinterpret_cast<const char*>(take(len)), len);
          push(std::move(v));
          break;
        }
        case 0x62: break;  // BUILD: the state stays on the stack
        case 0x63: {       // GLOBAL
          PVal v;
          v.kind = PVal::Kind::kGlobal;
          v.s = line();
          v.s += " " + line();
          push(std::move(v));
          break;
        }
        case 0x68: push(memoGet(byte(), "teeth: pickle BINGET out of range")); break;
        case 0x6A: push(memoGet(rd32(take(4)), "teeth: pickle LONG_BINGET out of range")); break;
        case 0x71: memoPut(byte()); break;
        case 0x72: memoPut(rd32(take(4))); break;
        case 0x73: {  // SETITEM
          PVal value = pop();
          PVal key = pop();
          record(key, value);
          break;
        }
        case 0x74: push(tuple(popMark())); break;  // TUPLE
        case 0x75: {                               // SETITEMS
          std::vector<PVal> kv = popMark();
          if (kv.size() % 2) fail("teeth: pickle SETITEMS has a key without a value in head .pt");
          for (size_t k = 0; k < kv.size(); k += 2) record(kv[k], kv[k + 1]);
          break;
        }
        case 0x7D: {  // EMPTY_DICT
          PVal v;
          v.kind = PVal::Kind::kDict;
          push(std::move(v));
          break;
        }
        case 0x80: byte(); break;  // PROTO
        case 0x85:
        case 0x86:
        case 0x87: {  // TUPLE1..3
          const size_t k = size_t(op - 0x84);
          std::vector<PVal> items(k);
          for (size_t j = k; j-- > 0;) items[j] = pop();
          push(tuple(std::move(items)));
          break;
        }
        case 0x88:
        case 0x89: {  // NEWTRUE, NEWFALSE
          PVal v;
          v.kind = PVal::Kind::kBool;
          v.i = op == 0x88;
          push(std::move(v));
          break;
        }
        default: {
          static const char* hex = "0123456789abcdef";
          fail(std::string("teeth: unsupported pickle opcode 0x") + hex[op >> 4] + hex[op & 15] + " in head .pt");
        }
      }
    }
  }

 private:
  const uint8_t* take(size_t k) {
    if (size_t(end_ - p_) < k) fail("teeth: pickle truncated");
    const uint8_t* at = p_;
    p_ += k;
    return at;
  }
  uint8_t byte() { return *take(1); }
  std::string line() {
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(p_, '\n', size_t(end_ - p_)));
    if (!nl) fail("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), size_t(nl - p_));
    p_ = nl + 1;
    return s;
  }

  void push(PVal v) { stack_.push_back(std::move(v)); }
  // A pop never reaches below the innermost MARK: what lies under it belongs to the enclosing frame.
  PVal pop() {
    const size_t floor = marks_.empty() ? 0 : marks_.back();
    if (stack_.size() <= floor) fail("teeth: pickle stack underflow in head .pt");
    PVal v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  std::vector<PVal> popMark() {
    if (marks_.empty()) fail("teeth: pickle has no MARK for TUPLE/SETITEMS in head .pt");
    const size_t at = marks_.back();
    marks_.pop_back();
    std::vector<PVal> items(std::make_move_iterator(stack_.begin() + ptrdiff_t(at)),
                            std::make_move_iterator(stack_.end()));
    stack_.resize(at);
    return items;
  }

  static PVal intVal(int64_t i) {
    PVal v;
    v.kind = PVal::Kind::kInt;
    v.i = i;
    return v;
  }
  static PVal tuple(std::vector<PVal> items) {
    PVal v;
    v.kind = PVal::Kind::kTuple;
    v.items = std::make_shared<const std::vector<PVal>>(std::move(items));
    return v;
  }

  PVal memoGet(uint32_t idx, const char* why) {
    if (idx >= memo_.size()) fail(why);
    return memo_[idx];
  }
  void memoPut(uint32_t idx) {
    if (stack_.empty()) return;
    if (idx >= kMaxMemo) fail("teeth: pickle memo index " + std::to_string(idx) + " is out of range in head .pt");
    if (idx >= memo_.size()) memo_.resize(size_t(idx) + 1);
    memo_[idx] = stack_.back();
  }

  void record(const PVal& key, const PVal& value) {
    if (key.kind == PVal::Kind::kString && value.kind == PVal::Kind::kTensor) state_.emplace_back(key.s, value);
  }

  static PVal persistent(const PVal& pid) {
    if (pid.kind != PVal::Kind::kTuple || pid.items->size() < 5 || (*pid.items)[0].kind != PVal::Kind::kString ||
        (*pid.items)[0].s != "storage")
      fail("teeth: unexpected persistent id in head .pt");
    const PVal& type = (*pid.items)[1];
    const std::string typeText = type.kind == PVal::Kind::kGlobal || type.kind == PVal::Kind::kString ? type.s : "?";
    if (type.kind != PVal::Kind::kGlobal || type.s != "torch FloatStorage")
      fail("teeth: head .pt storage is " + typeText + ", not torch FloatStorage — refusing to reinterpret it");
    const PVal& key = (*pid.items)[2];
    if (key.kind != PVal::Kind::kString) fail("teeth: unexpected persistent id in head .pt");
    PVal v;
    v.kind = PVal::Kind::kStorage;
    v.s = key.s;
    return v;
  }

  static PVal reduce(const PVal& fn, const PVal& args) {
    const std::string name = fn.kind == PVal::Kind::kGlobal ? fn.s : "a non-global";
    if (name == "collections OrderedDict") {
      PVal v;
      v.kind = PVal::Kind::kDict;
      return v;
    }
    if (name == "torch._utils _rebuild_tensor_v2") {
      if (args.kind != PVal::Kind::kTuple || args.items->size() < 4) fail("teeth: malformed _rebuild_tensor_v2");
      const std::vector<PVal>& a = *args.items;
      if (a[0].kind != PVal::Kind::kStorage || a[1].kind != PVal::Kind::kInt || a[2].kind != PVal::Kind::kTuple)
        fail("teeth: malformed _rebuild_tensor_v2");
      if (a[1].i < 0) fail("teeth: head .pt tensor has a negative storage offset " + std::to_string(a[1].i));
      PVal v;
      v.kind = PVal::Kind::kTensor;
      v.s = a[0].s;
      v.offset = a[1].i;
      for (const PVal& d : *a[2].items) {
        if (d.kind != PVal::Kind::kInt) fail("teeth: malformed _rebuild_tensor_v2");
        v.shape.push_back(d.i);
      }
      return v;
    }
    fail("teeth: head .pt calls " + name + " — this reader refuses code it does not model");
  }

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<PVal> stack_;
  std::vector<size_t> marks_;
  std::vector<PVal> memo_;
  std::vector<std::pair<std::string, PVal>> state_;
};

struct ExpectedTensor {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

const ExpectedTensor kTensors[10] = {
    {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_w}, {"cand.0.bias", {16}, &HeadWeights::cand0_b},
    {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_w}, {"cand.2.bias", {16}, &HeadWeights::cand2_b},
    {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_w}, {"cand.4.bias", {1}, &HeadWeights::cand4_b},
    {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_w},   {"syn.0.bias", {16}, &HeadWeights::syn0_b},
    {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_w},   {"syn.2.bias", {1}, &HeadWeights::syn2_b},
};

}  // namespace

size_t HeadWeights::params() const {
  size_t n = 0;
  for (const ExpectedTensor& t : kTensors) n += (this->*t.field).size();
  return n;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) { return loadHeadPt(bytes.data(), bytes.size()); }

HeadWeights loadHeadPt(const uint8_t* data, size_t size) {
  if (!data) size = 0;
  const std::vector<Entry> entries = readZip(data, size);
  const Entry* pkl = nullptr;
  for (const Entry& e : entries)
    if (e.name.size() > 8 && endsWith(e.name, "/data.pkl")) pkl = &e;
  if (!pkl) fail("teeth: head .pt has no data.pkl");
  const auto state = Unpickler(data + pkl->start, size_t(pkl->size)).run();
  if (state.empty()) fail("teeth: head .pt state_dict is empty");

  bool synthesis = false;
  for (const auto& kv : state)
    for (int t = 6; t < 10; ++t) synthesis = synthesis || kv.first == kTensors[t].name;

  HeadWeights w;
  for (int t = 0; t < (synthesis ? 10 : 6); ++t) {
    const ExpectedTensor& want = kTensors[t];
    const PVal* value = nullptr;
    int count = 0;
    for (const auto& kv : state)
      if (kv.first == want.name) value = count++ ? value : &kv.second;
    if (count == 0) fail(std::string("teeth: head .pt lacks '") + want.name + "'");
    if (count > 1)
      fail(std::string("teeth: head .pt names '") + want.name + "' " + std::to_string(count) + " times — ambiguous");
    if (value->kind != PVal::Kind::kTensor) fail(std::string("teeth: '") + want.name + "' is not a tensor");
    if (value->shape != want.shape) {
      std::string dims;
      for (size_t k = 0; k < value->shape.size(); ++k) dims += (k ? "," : "") + std::to_string(value->shape[k]);
      fail(std::string("teeth: head '") + want.name + "' has shape [" + dims + "] — not the BlendHead(16) arch");
    }
    size_t elems = 1;
    for (int64_t d : want.shape) elems *= size_t(d);
    const Entry* storage = nullptr;
    for (const Entry& e : entries)
      if (endsWith(e.name, "/data/" + value->s)) {
        storage = &e;
        break;
      }
    if (!storage) fail("teeth: head storage " + value->s + " missing");
    // Offset and count are checked apart first so their sum cannot wrap.
    const uint64_t floats = storage->size / 4;
    if (uint64_t(value->offset) > floats || elems > floats - uint64_t(value->offset))
      fail("teeth: head storage " + value->s + " too small");
    std::vector<float>& out = w.*want.field;
    out.resize(elems);
    const uint8_t* src = data + storage->start + uint64_t(value->offset) * 4;
    for (size_t k = 0; k < elems; ++k) {
      const uint32_t bits = rd32(src + 4 * k);
      std::memcpy(&out[k], &bits, 4);
    }
  }
  const size_t n = w.params();
  if (n != HeadWeights::kBlendHeadParams && n != HeadWeights::kBlendHead8Params)
    fail("teeth: head has " + std::to_string(n) +
         " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  w.envelope_clamp = 12.0f / 255.0f;
  return w;
}

}  // namespace qo::tessera
