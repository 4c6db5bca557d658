// qo render: replays a bundle's drive tables through the C API frame functions into an MP4, with
// a PNG contact sheet beside it and per-stage timings.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "capi/qo_ctx.h"
#include "qo/qo.h"
#include "qo/qo_image.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/media_writer.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/contact_sheet.h"
#include "tools/qo/progress.h"

namespace qo::tool {
namespace {

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

std::string ensureDemoBundle(const std::string& dir) {
  if (!exists(dir + "/manifest.json") && !exists(dir) && !exists(dir + ".imx")) {
    std::fprintf(stderr, "[qo] writing the demo bundle to %s (first use)\n", dir.c_str());
    devkit::writeDemoBundle(dir, devkit::DemoOptions{});
  }
  return dir;
}

int cmdRender(int argc, char** argv) {
  std::string bundle, out = "render.mp4", model = "b1";
  int frames = -1;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qo render: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--out") out = value();
    else if (a == "--frames") frames = std::atoi(value().c_str());
    else if (a == "--model") model = value();
    else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "usage: qo render [BUNDLE] [--out OUT.mp4] [--frames N] [--model KEY]\n");
      return 2;
    } else bundle = a;
  }
  try {
    if (bundle.empty()) bundle = ensureDemoBundle("demo.qobundle");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo render: %s\n", e.what());
    return 1;
  }
  if (const std::string why = whyNotABundle(bundle); !why.empty()) {
    std::fprintf(stderr, "qo render: %s\n", why.c_str());
    return 1;
  }

  qo_ctx* ctx = qo_create(bundle.c_str(), model.c_str(), 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "qo render: %s\n", qo_last_error());
    return 1;
  }
  const int W = qo_width(ctx), H = qo_height(ctx), drive = qo_drive_frames(ctx);
  if (frames < 0) frames = drive;
  if (drive < 1 || frames < 1) {
    std::fprintf(stderr, "qo render: %s has no drive frames to replay\n", bundle.c_str());
    qo_destroy(ctx);
    return 1;
  }

  int rc = 0;
  Progress progress(stderr);
  try {
    devkit::MovieOptions mo;
    mo.width = W;
    mo.height = H;
    devkit::MovieWriter writer(out, mo);
    ContactSheet sheet(W, H, std::min(frames, 6));
    double renderMs = 0, decodeMs = 0, pasteMs = 0, encodeMs = 0;
    progress.stage("[qo render] %d frames of %s (%dx%d) into %s", frames, bundle.c_str(), W, H, out.c_str());
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < frames; ++k) {
      const int i = k % drive;
      auto t = std::chrono::steady_clock::now();
      if (!qo_render_drive_crop(ctx, i)) throw std::runtime_error(qo_last_error());
      renderMs += msSince(t);
      // The drive table's source index of frame i is the driver frame it pastes into.
      const int si = ctx->drive.si[size_t(i)];
      t = std::chrono::steady_clock::now();
      if (!qo_target_frame(ctx, si)) throw std::runtime_error(qo_last_error());
      decodeMs += msSince(t);
      t = std::chrono::steady_clock::now();
      const uint8_t* rgb = qo_paste_last(ctx, si);
      if (!rgb) throw std::runtime_error(qo_last_error());
      pasteMs += msSince(t);
      t = std::chrono::steady_clock::now();
      writer.addRgb(rgb);
      encodeMs += msSince(t);
      sheet.offer(k, frames, rgb);
      progress.live("[qo render] frame %d/%d", k + 1, frames);
    }
    writer.finish();
    const double total = msSince(start);
    const std::string sheetPath = out.substr(0, out.rfind('.')) + "_sheet.png";
    sheet.save(sheetPath);
    progress.stage("[qo render] %d frames rendered and encoded in %.1f s", frames, total / 1000);
    std::printf("wrote %s (%d frames %dx%d, %s) and %s\n", out.c_str(), frames, W, H, writer.videoEncoder(),
                sheetPath.c_str());
    std::printf("per frame: render %.1f ms, decode %.1f ms, paste %.1f ms, encode %.1f ms; %.1f fps overall\n",
                renderMs / frames, decodeMs / frames, pasteMs / frames, encodeMs / frames, 1000.0 * frames / total);
  } catch (const std::exception& e) {
    progress.end();
    std::fprintf(stderr, "qo render: %s\n", e.what());
    rc = 1;
  }
  qo_destroy(ctx);
  return rc;
}

}  // namespace qo::tool
