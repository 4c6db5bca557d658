// C entry points of the batch teeth pass over a whole clip.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "capi/qo_guard.h"
#include "qo/qo_tessera.h"
#include "tessera/qo_tessera_pass.h"

namespace {

// A shift row of this value asks the pass to derive the frame's shift from its mask.
constexpr int32_t kDeriveShift = -10000;

void putErr(char* err, int len, const char* msg) {
  if (!err || len < 1) return;
  const size_t n = std::min(std::strlen(msg), size_t(len) - 1);
  std::memcpy(err, msg, n);
  err[n] = '\0';
}

int runClip(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon, const double* aperture,
            const int32_t* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json,
            const uint8_t* canvases, const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
            uint32_t* out_flags) {
  using namespace qo::tessera;
  if (!bands || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || head_pt_len < 0 ||
      n_frames < 0 || (n_frames > 0 && (!canvases || !masks || !out_windows || !out_flags)))
    throw std::runtime_error("teeth: a required argument is null or negative");
  if (n_donors < 1) throw std::runtime_error("teeth: n_donors <= 0");
  std::array<int32_t, GeometryStamp::kFields> sv{};
  std::copy(stamp, stamp + GeometryStamp::kFields, sv.begin());
  BankData bank;
  bank.stamp = GeometryStamp::fromValues(sv);
  bank.stamp.validate();
  bank.n_donors = n_donors;
  const size_t bandBytes = size_t(n_donors) * size_t(bank.stamp.bandH()) * size_t(bank.stamp.bandW()) * 3;
  bank.bands.assign(bands, bands + bandBytes);
  bank.cent.assign(cent, cent + 2 * size_t(n_donors));
  bank.c_canon.assign(c_canon, c_canon + 2);
  bank.aperture.assign(aperture, aperture + size_t(n_donors));
  const HeadWeights head = loadHeadPt(head_pt, size_t(head_pt_len));
  const ServeConfig config = ServeConfig::fromHeadMemberJson(head_json);
  TeethPass pass(bank, head, config);

  const GeometryStamp& s = pass.stamp();
  const size_t canvas = size_t(s.canvas_w) * size_t(s.canvas_h), window = size_t(s.window_w) * s.window_h * 3;
  FrameResult result;
  int emitted = 0;
  auto record = [&] {
    out_flags[emitted] = result.skipped ? 1u : 0u;
    if (!result.skipped) std::memcpy(out_windows + size_t(emitted) * window, result.rgb.data(), window);
    ++emitted;
  };
  for (int j = 0; j < n_frames; ++j) {
    const int32_t* shift = (shifts && shifts[2 * size_t(j)] != kDeriveShift) ? shifts + 2 * size_t(j) : nullptr;
    if (pass.push(j, canvases + size_t(j) * canvas * 3, masks + size_t(j) * canvas, shift, result)) record();
  }
  if (pass.flush(result)) record();
  if (emitted != n_frames)
    throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(n_frames) +
                             " frames");
  return 0;
}

}  // namespace

extern "C" {

QO_API int qo_tessera_run_shift(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                                const char* head_json, const uint8_t* canvases, const uint8_t* masks,
                                const int32_t* shifts, int n_frames, uint8_t* out_windows, uint32_t* out_flags,
                                char* err, int err_len) {
  return qo::capi::guardedBy([&](const char*, const char* what) { putErr(err, err_len, what); },
                             "qo_tessera_run_shift", 1, [&] {
                               try {
                                 return runClip(bands, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len,
                                                head_json, canvases, masks, shifts, n_frames, out_windows, out_flags);
                               } catch (const std::exception&) {
                                 throw;
                               } catch (...) {
                                 throw std::runtime_error("teeth: unknown failure");
                               }
                             });
}

QO_API int qo_tessera_run(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_json, const uint8_t* canvases, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, uint32_t* out_flags, char* err, int err_len) {
  return qo_tessera_run_shift(bands, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
                              canvases, masks, nullptr, n_frames, out_windows, out_flags, err, err_len);
}

}  // extern "C"
