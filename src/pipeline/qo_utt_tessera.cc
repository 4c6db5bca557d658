// Attaching a teeth borrow to an utterance instance, and the C functions that report on it.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest.h"
#include "pipeline/qo_utt_impl.h"
#include "qo/qo_bundle.h"
#include "qo/qo_utt.h"
#include "tessera/qo_bundle_tessera.h"

namespace qo::utt {
namespace {

constexpr char kAttach[] = "qo_utt_tessera_attach: ";

// The member's text when it can be read, otherwise empty: the lip template is optional.
std::string readOptional(const std::string& path) { return fs::canRead(path) ? readText(path) : std::string(); }

}  // namespace

void Utterance::attachBorrow(const AttachArgs& a) {
  using namespace qo::tessera;
  if (!a.bands || !a.cent || !a.c_canon || !a.aperture || !a.stamp || !a.head_pt || !a.head_json || !a.manifest_json)
    throw std::runtime_error(std::string(kAttach) + "a required member is null \xE2\x80\x94 this ABI has no partial-attach state");
  if (a.n_donors < 1) throw std::runtime_error(std::string(kAttach) + "n_donors <= 0");
  if (a.n_donors > kTesseraMaxDonors)
    throw std::runtime_error(std::string(kAttach) + "n_donors=" + std::to_string(a.n_donors) +
                             " is over the cap of " + std::to_string(kTesseraMaxDonors) +
                             " donors the member carriage holds a bank to \xE2\x80\x94 refusing a bank the bundle "
                             "reader would refuse");
  if (a.head_pt_len < 0) throw std::runtime_error(std::string(kAttach) + "head weights length < 0");

  std::array<int32_t, GeometryStamp::kFields> sv{};
  std::copy(a.stamp, a.stamp + GeometryStamp::kFields, sv.begin());
  BankData bank;
  bank.stamp = GeometryStamp::fromValues(sv);
  bank.stamp.validate();
  uint64_t bandBytes = 0;
  if (__builtin_mul_overflow(uint64_t(a.n_donors), uint64_t(bank.stamp.bandH()), &bandBytes) ||
      __builtin_mul_overflow(bandBytes, uint64_t(bank.stamp.bandW()) * 3u, &bandBytes) || bandBytes > SIZE_MAX)
    throw std::runtime_error(std::string(kAttach) + "n_donors=" + std::to_string(a.n_donors) + " bands of " +
                             std::to_string(bank.stamp.bandH()) + "x" + std::to_string(bank.stamp.bandW()) +
                             "x3 bytes overflow a 64-bit byte count \xE2\x80\x94 refusing to read them");
  const int32_t crop = ctx_->manifest.crop;
  if (bank.stamp.canvas_w != bank.stamp.canvas_h || bank.stamp.canvas_w != crop)
    throw std::runtime_error(std::string(kAttach) + "bank canvas " + std::to_string(bank.stamp.canvas_w) + "x" +
                             std::to_string(bank.stamp.canvas_h) + " != this bundle's render crop " +
                             std::to_string(crop));

  const size_t n = size_t(a.n_donors);
  bank.n_donors = a.n_donors;
  bank.bands.assign(a.bands, a.bands + bandBytes);
  bank.cent.assign(a.cent, a.cent + 2 * n);
  bank.c_canon.assign(a.c_canon, a.c_canon + 2);
  bank.aperture.assign(a.aperture, a.aperture + n);
  const HeadWeights head = loadHeadPt(a.head_pt, size_t(a.head_pt_len));
  const ServeConfig config = ServeConfig::fromHeadMemberJson(a.head_json);

  if (target_.empty() || target_.size() != size_t(nt_) * 63)
    throw std::runtime_error(std::string(kAttach) +
                             "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be "
                             "identified \xE2\x80\x94 refusing to arm the borrow against the manifest's compose-field "
                             "geometry");
  std::string geometry;
  const UnifiedPi pi =
      UnifiedPi::corpusFromManifestJson(a.manifest_json, crop, target_.data(), nt_, a.c_canon, &geometry);
  std::string lip;
  try {
    lip = readOptional(resolveMember(ctx_->manifest.dir, "lip_template.v1.json"));
  } catch (const std::exception&) {
    lip.clear();
  }
  auto borrow = std::make_shared<StreamBorrow>(bank, head, config, pi, lip);

  std::shared_ptr<StreamBorrow> old;  // freed outside the lock, and only when no stage holds it
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::move(borrow_.borrow);
    borrow_.borrow = std::move(borrow);
    borrow_.pipelined = cfg_.pipelinePaste;
    borrow_.geometry = geometry;
    ++borrow_.epoch;
    borrow_.written = borrow_.skipped = 0;
    borrow_.reason.clear();
    borrow_.degraded = false;
    borrow_.stats = PassStats{};
    if (borrow_.pipelined) startTessThread();
  }
}

int Utterance::borrowStats(int64_t* written, int64_t* skipped, std::string* reason) {
  std::lock_guard<std::mutex> lock(mu_);
  if (written) *written = borrow_.written;
  if (skipped) *skipped = borrow_.skipped;
  *reason = borrow_.reason;
  if (!borrow_.borrow) return 0;
  return borrow_.degraded ? -1 : 1;
}

bool Utterance::borrowSynth(double* mean, double* max, int64_t* frames) {
  tessera::PassStats s;
  bool attached;
  {
    std::lock_guard<std::mutex> lock(mu_);
    s = borrow_.stats;
    attached = borrow_.borrow != nullptr;
  }
  if (mean) *mean = s.frames > 0 ? s.synth_mean_sum / double(s.frames) : 0.0;
  if (max) *max = s.synth_max;
  if (frames) *frames = s.frames;
  return attached && s.frames > 0;
}

bool Utterance::borrowGeometry(std::string* name) {
  std::lock_guard<std::mutex> lock(mu_);
  *name = borrow_.geometry;
  return borrow_.borrow != nullptr;
}

}  // namespace qo::utt

namespace {

void copyText(const std::string& text, char* buf, int len) {
  if (!buf || len < 1) return;
  const size_t n = std::min(text.size(), size_t(len) - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

}  // namespace

extern "C" {

QO_API int qo_utt_tessera_attach(qo_utt* u, const uint8_t* bands, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len) {
  static const std::string prefix = "qo_utt_tessera_attach: ";
  if (!u) {
    copyText(prefix + "null session", err, err_len);
    return 1;
  }
  try {
    u->impl.attachBorrow({bands, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
                          manifest_json});
    copyText("", err, err_len);
    return 0;
  } catch (const std::exception& e) {
    const std::string m = e.what();
    copyText(m.compare(0, prefix.size(), prefix) == 0 ? m : prefix + m, err, err_len);
  } catch (...) {
    copyText(prefix + "unknown failure", err, err_len);
  }
  return 1;
}

QO_API int qo_utt_tessera_stats(qo_utt* u, int64_t* written, int64_t* skipped, char* reason, int reason_len) {
  std::string why;
  int r = 0;
  if (u) {
    r = u->impl.borrowStats(written, skipped, &why);
  } else {
    if (written) *written = 0;
    if (skipped) *skipped = 0;
  }
  copyText(why, reason, reason_len);
  return r;
}

QO_API int qo_utt_tessera_synth_w(qo_utt* u, double* mean, double* max, int64_t* frames) {
  if (!u) return 0;
  return u->impl.borrowSynth(mean, max, frames) ? 1 : 0;
}

QO_API int qo_utt_tessera_geometry(qo_utt* u, char* buf, int len) {
  if (!u || !buf || len < 1) return 0;
  std::string name;
  const bool attached = u->impl.borrowGeometry(&name);
  copyText(name, buf, len);
  return attached ? 1 : 0;
}

}  // extern "C"
