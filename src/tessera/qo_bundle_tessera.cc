// Finding, arming and loading the teeth-borrow members of a bundle.
#include "tessera/qo_bundle_tessera.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "bundle/qo_fs.h"

namespace qo {
namespace {

const char* const kSlotKeys[kTesseraSlots] = {"bank_track", "bank_sidecar", "head_weights", "head_config"};

bool readWhole(const std::string& path, std::string* out) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  std::string text;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, got);
  if (std::ferror(f.get())) return false;
  *out = std::move(text);
  return true;
}

std::string readMember(const std::string& path) {
  fs::File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("teeth: cannot open " + path);
  std::string text;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, got);
  if (std::ferror(f.get())) throw std::runtime_error("teeth: short read " + path);
  return text;
}

// The manifest's path (manifest.json, else meta.json), or "" when neither opens.
std::string manifestPath(const std::string& dir) {
  for (const char* name : {"/manifest.json", "/meta.json"})
    if (fs::canRead(dir + name)) return dir + name;
  return "";
}

tessera::json::JVal parseLoose(const std::string& text) {
  tessera::json::JParser p(text.data(), text.data() + text.size());
  return p.val();
}

// An integral value in decimal; anything beyond 64-bit range in %g.
std::string numText(double v) {
  const double t = std::trunc(v);
  if (std::fabs(t) < 9.0e15) return std::to_string(int64_t(t));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

double asNumber(const tessera::json::JVal& v) { return v.isNumber() ? v.num : 0.0; }

TesseraCarriage carriageOf(const std::string& dir) {
  TesseraCarriage c;
  const std::string mpath = manifestPath(dir);
  std::string text;
  if (!mpath.empty() && !readWhole(mpath, &text)) text.clear();
  if (!text.empty()) {
    try {
      const tessera::json::JVal top = parseLoose(text);
      const tessera::json::JVal* t = top.find("tessera");
      if (t && t->isObject()) {
        c.declared = true;
        if (const tessera::json::JVal* members = t->find("members"); members && members->isObject())
          for (int i = 0; i < kTesseraSlots; ++i)
            if (const tessera::json::JVal* n = members->find(kSlotKeys[i]); n && n->isString() && !n->str.empty())
              c.slots.names[size_t(i)] = n->str;
        if (const tessera::json::JVal* planes = t->find("planes"); planes && planes->isArray())
          for (const auto& p : planes->arr)
            if (p.isString()) c.planes.push_back(p.str);
      }
    } catch (const std::exception&) {
      c = TesseraCarriage();
    }
  }
  for (int i = 0; i < kTesseraSlots; ++i) {
    c.paths[size_t(i)] = resolveMember(dir, c.slots.names[size_t(i)]);
    fs::File f(std::fopen(c.paths[size_t(i)].c_str(), "rb"));
    if (!f) c.missing.push_back(kSlotKeys[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

TesseraAttachInputs loadFrom(const std::string& dir) {
  const TesseraCarriage c = carriageOf(dir);
  requireTesseraMembers(c);
  const std::string mpath = manifestPath(dir);
  if (mpath.empty())
    throw std::runtime_error(dir +
                             " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass "
                             "places its window by lives there, and placing a borrow window without it is guessing.");
  TesseraAttachInputs in;
  in.manifest_json = readMember(mpath);
  if (!readWhole(resolveMember(dir, "lip_template.v1.json"), &in.lip_template_json)) in.lip_template_json.clear();
  in.head_json = readMember(c.paths[3]);
  const std::string pt = readMember(c.paths[2]);
  in.head_pt.assign(pt.begin(), pt.end());
  in.bank_track_path = c.paths[0];
  const std::string& sidecar = c.paths[1];
  const std::string sidecarText = readMember(sidecar);

  using tessera::json::JVal;
  const JVal sc = tessera::json::parseJson(sidecarText, sidecar);
  const JVal man = tessera::json::parseJson(in.manifest_json, mpath);
  const JVal* mt = man.find("tessera");
  if (mt && !mt->isObject()) mt = nullptr;

  const std::string format = tessera::json::optStr(sc, "format", "");
  if (format != "tessera_bank.v1")
    throw std::runtime_error(sidecar + " declares format '" + format +
                             "', not 'tessera_bank.v1' — this reader does not know that generation and will not "
                             "guess at its keys.");
  const JVal* geo = sc.find("geometry");
  if (!geo || !geo->isObject()) throw std::runtime_error(sidecar + " carries no `geometry` stamp");
  in.stamp = tessera::GeometryStamp::fromJson(*geo, sidecar + ".geometry");
  if (mt)
    if (const JVal* mg = mt->find("geometry"); mg && mg->isObject()) {
      const tessera::GeometryStamp ms = tessera::GeometryStamp::fromJson(*mg, "manifest.tessera.geometry");
      if (!(ms == in.stamp))
        throw std::runtime_error("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
                                 ms.text() + " vs " + sidecar + " " + in.stamp.text() +
                                 "; refusing to place a window on a rectangle the two halves of the bundle do not "
                                 "agree on.");
    }
  // 64-bit: a stamp that validation would refuse must not overflow here first.
  const int64_t bw = int64_t(in.stamp.band_c1) - in.stamp.band_c0 + 2 * int64_t(in.stamp.shift_margin);
  const int64_t bh = int64_t(in.stamp.band_r1) - in.stamp.band_r0 + 2 * int64_t(in.stamp.shift_margin);
  if (bw < 1 || bh < 1 || bw > INT32_MAX || bh > INT32_MAX)
    throw std::runtime_error("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) + "x" +
                             std::to_string(bh) + ")");
  in.band_w = int32_t(bw), in.band_h = int32_t(bh);

  const int32_t n = tessera::json::reqInt(sc, "n_donors", sidecar);
  if (n < 1) throw std::runtime_error(sidecar + " says n_donors=" + std::to_string(n));
  if (n > kTesseraMaxDonors)
    throw std::runtime_error(sidecar + " carries n_donors=" + std::to_string(n) + ", over the owner's cap of " +
                             std::to_string(kTesseraMaxDonors) +
                             " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the "
                             "bank's BUILD-time cap selector, and a second one here would change which donors reach "
                             "the mouth while every count-based check stayed green. Rebuild the bank.");
  in.n_donors = n;
  const JVal* to = sc.find("track_order");
  const JVal* cent = sc.find("cent");
  const JVal* ap = sc.find("aperture");
  const JVal* cc = sc.find("c_canon");
  if (!to || !cent || !ap || !cc || !to->isArray() || !cent->isArray() || !ap->isArray() || !cc->isArray())
    throw std::runtime_error(sidecar + " lacks one of track_order/cent/aperture/c_canon as an array");
  const size_t un = size_t(n);
  if (to->arr.size() != un || cent->arr.size() != un || ap->arr.size() != un)
    throw std::runtime_error(sidecar + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
                             std::to_string(to->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
                             ", aperture=" + std::to_string(ap->arr.size()) +
                             " — a count mismatch silently mis-orders the donors.");
  if (cc->arr.size() != 2) throw std::runtime_error(sidecar + " c_canon is not a pair");

  std::vector<bool> seen(un, false);
  in.track_order.reserve(un);
  for (size_t i = 0; i < un; ++i) {
    const double v = std::trunc(asNumber(to->arr[i]));
    if (!(v >= 0.0 && v < double(n)))
      throw std::runtime_error(sidecar + " track_order[" + std::to_string(i) + "]=" + numText(v) +
                               " is outside [0," + std::to_string(n) + ")");
    const int32_t d = int32_t(v);
    if (seen[size_t(d)])
      throw std::runtime_error(sidecar + " track_order is not a permutation (reference " + std::to_string(d) +
                               " appears twice) — the inverse permutation would leave a reference slot never "
                               "written and the pass would blend uninitialised memory into a real mouth.");
    seen[size_t(d)] = true;
    in.track_order.push_back(d);
  }
  in.cent.reserve(2 * un);
  for (size_t i = 0; i < un; ++i) {
    const JVal& e = cent->arr[i];
    if (!e.isArray() || e.arr.size() != 2)
      throw std::runtime_error(sidecar + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent.push_back(asNumber(e.arr[0]));
    in.cent.push_back(asNumber(e.arr[1]));
  }
  for (const JVal& e : ap->arr) in.aperture.push_back(asNumber(e));
  in.c_canon = {asNumber(cc->arr[0]), asNumber(cc->arr[1])};

  in.bank_container = mt ? tessera::json::optStr(*mt, "bank_container", "mp4") : "mp4";
  in.bank_packing = mt ? tessera::json::optStr(*mt, "bank_packing", "rgb24_frames") : "rgb24_frames";
  std::string codec, pixFmt;
  if (const JVal* co = sc.find("codec"); co && co->isObject()) {
    codec = tessera::json::optStr(*co, "codec", "");
    pixFmt = tessera::json::optStr(*co, "pix_fmt", "");
  }
  in.bank_codec = mt ? tessera::json::optStr(*mt, "bank_codec", codec) : codec;
  in.bank_pix_fmt = mt ? tessera::json::optStr(*mt, "bank_pix_fmt", pixFmt) : pixFmt;
  if (in.bank_pix_fmt.empty())
    throw std::runtime_error(dir + ": neither manifest.tessera.bank_pix_fmt nor " + sidecar +
                             ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
                             "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
                             "IS the borrow degrading. Refusing rather than letting it guess.");
  return in;
}

}  // namespace

int tesseraSlotCount() { return kTesseraSlots; }
const char* const* tesseraSlotKeys() { return kSlotKeys; }

const std::string& TesseraCarriage::path(const std::string& slotKey) const {
  for (int i = 0; i < kTesseraSlots; ++i)
    if (slotKey == kSlotKeys[i]) return paths[size_t(i)];
  throw std::runtime_error("teeth: no such member slot '" + slotKey + "'");
}

TesseraCarriage tesseraCarriage(const std::string& bundle) { return carriageOf(resolveBundlePath(bundle)); }
TesseraCarriage tesseraCarriage(const Manifest& manifest) { return carriageOf(resolveBundlePath(manifest.dir)); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string list;
  for (const std::string& key : c.missing) {
    int slot = 0;
    while (slot < kTesseraSlots && key != kSlotKeys[slot]) ++slot;
    if (!list.empty()) list += ", ";
    list += key + " (" + (slot < kTesseraSlots ? c.slots.names[size_t(slot)] : std::string()) + ")";
  }
  std::string msg = "missing teeth member(s): " + list + " — carries " +
                    std::to_string(kTesseraSlots - int(c.missing.size())) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
      "REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode that proceeds "
      "without them (ostrel-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundle) { return loadFrom(resolveBundlePath(bundle)); }
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) { return loadFrom(resolveBundlePath(manifest.dir)); }

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* trackBuf, uint8_t* donorBuf) {
  if (!trackBuf || !donorBuf) throw std::runtime_error("teeth: null band buffer");
  if (in.track_order.size() != size_t(in.n_donors < 0 ? 0 : in.n_donors) || in.n_donors < 0)
    throw std::runtime_error("teeth: track_order does not match n_donors");
  const size_t stride = size_t(in.band_w < 0 ? 0 : in.band_w) * size_t(in.band_h < 0 ? 0 : in.band_h) * 3;
  if (stride == 0) throw std::runtime_error("teeth: zero reference stride");
  for (size_t i = 0; i < in.track_order.size(); ++i) {
    const int32_t d = in.track_order[i];
    if (d < 0 || d >= in.n_donors) throw std::runtime_error("teeth: track_order does not match n_donors");
    std::memcpy(donorBuf + size_t(d) * stride, trackBuf + i * stride, stride);
  }
}

}  // namespace qo
