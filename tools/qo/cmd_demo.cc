#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "bundle/qo_imx.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_int8.h"
#include "tools/devkit/demo_m4b.h"
#include "tools/qo/commands.h"

namespace qo::tool {

int cmdDemo(int argc, char** argv) {
  devkit::DemoOptions o;
  o.tessera = true;
  std::string dir = "demo.qobundle", imx;
  bool int8 = false;
  bool m4b = false;  // also the fused m4b director (model_m4b.onnx; crop 512), for --ep neon
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qo demo: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--size") {
      if (std::sscanf(value(), "%dx%d", &o.width, &o.height) != 2) return std::fprintf(stderr, "qo demo: --size WxH\n"), 2;
    } else if (a == "--crop") {
      o.crop = std::atoi(value());
    } else if (a == "--nt") {
      o.nt = std::atoi(value());
    } else if (a == "--frames") {
      o.frames = std::atoi(value());
    } else if (a == "--prior-movie") {
      o.priorMovie = true;
    } else if (a == "--driver-movie") {
      o.driverMovie = true;
    } else if (a == "--int8") {
      int8 = true;
    } else if (a == "--imx") {
      imx = value();
    } else if (a == "--m4b") {
      m4b = true;
    } else if (a == "--tiny") {
      const devkit::DemoOptions tiny = devkit::DemoOptions::tiny();
      o.width = tiny.width, o.height = tiny.height, o.crop = tiny.crop, o.nt = tiny.nt;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr,
                   "usage: qo demo [DIR] [--size WxH] [--crop N] [--nt N] [--frames N] [--prior-movie] "
                   "[--driver-movie] [--tiny] [--int8] [--m4b] [--imx OUT.imx]\n");
      return 2;
    } else {
      dir = a;
    }
  }
  try {
    if (m4b && o.crop != 512) return std::fprintf(stderr, "qo demo: --m4b needs crop 512\n"), 2;
    devkit::writeDemoBundle(dir, o);
    if (int8) devkit::quantiseDemoDirectors(dir);  // head convolutions as Int8ConvVNNI nodes
    if (m4b) devkit::writeM4bDirector(dir + "/model_m4b.onnx", {});
    if (!imx.empty()) imx::pack(dir, imx);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo demo: %s\n", e.what());
    return 1;
  }
  std::printf("wrote %s (%dx%d, crop %d, %d source frames)%s%s\n", dir.c_str(), o.width, o.height, o.crop, o.nt,
              imx.empty() ? "" : " and ", imx.c_str());
  return 0;
}

}  // namespace qo::tool
