// qo teeth: renders a bundle's mouths from its drive tables, derives each frame's delivered mouth
// mask and shift, runs the batch teeth pass over the clip and writes a before/after contact sheet.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "capi/qo_ctx.h"
#include "qo/qo.h"
#include "qo/qo_tessera.h"
#include "tessera/qo_tessera.h"
#include "tessera/qo_tessera_pi.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/contact_sheet.h"
#include "tools/qo/teeth_bank.h"

namespace qo::tool {
namespace {

struct CtxCloser {
  void operator()(qo_ctx* c) const { qo_destroy(c); }
};

}  // namespace

int cmdTeeth(int argc, char** argv) {
  std::string bundle, out = "teeth_out";
  int frames = -1;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--frames" && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "usage: qo teeth [BUNDLE] [--out DIR] [--frames N]\n");
      return 2;
    } else {
      bundle = a;
    }
  }
  try {
    if (bundle.empty()) bundle = ensureDemoBundle("demo.qobundle");
    if (const std::string why = whyNotABundle(bundle); !why.empty()) throw std::runtime_error(why);
    char err[512] = "";
    const TeethBank bank = loadTeethBank(bundle);
    const auto& m = bank.members;
    std::unique_ptr<qo_ctx, CtxCloser> ctx(qo_create(bundle.c_str(), "b1", 0, nullptr));
    if (!ctx) throw std::runtime_error(qo_last_error());

    const int N = qo_crop(ctx.get()), drive = qo_drive_frames(ctx.get());
    if (frames < 0 || frames > drive) frames = drive;
    if (frames < 1) throw std::runtime_error(bundle + " has no drive frames");
    std::array<int32_t, 12> sv{};
    std::copy_n(qo_tessera_members_stamp(m.get()), 12, sv.begin());
    const tessera::GeometryStamp stamp = tessera::GeometryStamp::fromValues(sv);
    if (stamp.canvas_w != N || stamp.canvas_h != N)
      throw std::runtime_error("the bank's canvas " + std::to_string(stamp.canvas_w) + "x" +
                               std::to_string(stamp.canvas_h) + " is not this bundle's crop " + std::to_string(N));

    const tessera::UnifiedPi pi = tessera::UnifiedPi::fromManifestJson(qo_tessera_members_manifest_json(m.get()), N);
    const std::string lipText = qo_tessera_members_lip_template_json(m.get());
    std::unique_ptr<tessera::LipContour> contour;
    if (!lipText.empty()) contour = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(lipText, N));
    const double* canon = qo_tessera_members_c_canon(m.get());
    const double ref[2] = {canon[0], canon[1]};

    // The mouths: every drive frame rendered, quantised to RGB24, with its delivered mask.
    const size_t canvas = size_t(N) * N;
    std::vector<uint8_t> rgb(size_t(frames) * canvas * 3), masks(size_t(frames) * canvas);
    std::vector<int32_t> shifts(2 * size_t(frames));
    for (int k = 0; k < frames; ++k) {
      const float* crop = qo_render_drive_crop(ctx.get(), k);
      if (!crop) throw std::runtime_error(qo_last_error());
      uint8_t* px = rgb.data() + size_t(k) * canvas * 3;
      for (size_t p = 0; p < canvas; ++p)
        for (int c = 0; c < 3; ++c) {
          const float v = crop[c * canvas + p];
          px[p * 3 + c] = v > 0.0f ? uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0f)) : 0;
        }
      const float* kp = ctx->drive.xd.data() + size_t(k) * tessera::kKeypointFloats;
      uint8_t* mask = masks.data() + size_t(k) * canvas;
      int32_t ry = 0, rx = 0;
      const bool ok = contour ? contour->deliveredU8AndShift(kp, pi, ref, mask, &ry, &rx)
                              : pi.piU8AndShift(kp, ref, mask, &ry, &rx);
      shifts[2 * size_t(k)] = ok ? ry : -10000;  // derive it from the mask
      shifts[2 * size_t(k) + 1] = ok ? rx : 0;
    }

    const int n = bank.n;
    const std::vector<uint8_t>& bands = bank.bands;

    const size_t window = size_t(stamp.window_w) * stamp.window_h * 3;
    std::vector<uint8_t> windows(size_t(frames) * window);
    std::vector<uint32_t> flags(static_cast<size_t>(frames));
    if (qo_tessera_run_shift(bands.data(), n, qo_tessera_members_cent(m.get()), canon,
                             qo_tessera_members_aperture(m.get()), sv.data(), qo_tessera_members_head_pt(m.get()),
                             int(qo_tessera_members_head_pt_len(m.get())), qo_tessera_members_head_json(m.get()),
                             rgb.data(), masks.data(), shifts.data(), frames, windows.data(), flags.data(), err,
                             sizeof err) != 0)
      throw std::runtime_error(err);

    // Before on the left, after on the right.
    std::string mk = "mkdir -p '" + out + "'";
    if (std::system(mk.c_str()) != 0) throw std::runtime_error("cannot create " + out);
    ContactSheet sheet(2 * N, N, std::min(frames, 6));
    std::vector<uint8_t> pair(size_t(2) * canvas * 3);
    int skipped = 0;
    for (int k = 0; k < frames; ++k) {
      const uint8_t* before = rgb.data() + size_t(k) * canvas * 3;
      for (int y = 0; y < N; ++y) {
        std::memcpy(pair.data() + size_t(y) * 2 * N * 3, before + size_t(y) * N * 3, size_t(N) * 3);
        std::memcpy(pair.data() + (size_t(y) * 2 * N + N) * 3, before + size_t(y) * N * 3, size_t(N) * 3);
      }
      if (flags[size_t(k)]) {
        ++skipped;
      } else {
        const uint8_t* w = windows.data() + size_t(k) * window;
        for (int i = 0; i < stamp.window_h; ++i)
          std::memcpy(pair.data() + (size_t(stamp.window_y0 + i) * 2 * N + N + stamp.window_x0) * 3,
                      w + size_t(i) * stamp.window_w * 3, size_t(stamp.window_w) * 3);
      }
      sheet.offer(k, frames, pair.data());
    }
    const std::string sheetPath = out + "/teeth_sheet.png";
    sheet.save(sheetPath);
    std::printf("wrote %s (%d frames, %d borrowed, %d passed through; %d donors; delivery mask: %s)\n",
                sheetPath.c_str(), frames, frames - skipped, skipped, n, contour ? "lip contour" : "pi ellipse");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo teeth: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace qo::tool
