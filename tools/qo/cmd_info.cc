#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bundle/qo_bundle.h"
#include "bundle/qo_fs.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"

namespace qo::tool {
namespace {

// Members a bundle may carry, by their current names.
const char* const kMembers[] = {
    "manifest.json", "P.f16",         "P_hevc.mov",   "pooled64.f16",        "fs_red.f16",
    "M.f32",         "mask_512.u8",   "drive/xs.f32", "drive/xd.f32",        "drive/si.i32",
    "xs_target.bin", "target_frames", "target_frames.mp4", "a2x_enc_stream.onnx", "a2x_dec.onnx",
    "a2x_meta.json", "lip_template.v1.json",
};

std::string describe(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "missing";
  if (S_ISDIR(st.st_mode)) return "directory";
  return std::to_string((long long)st.st_size) + " bytes";
}

std::vector<std::string> directorModels(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      bool onnx = n.size() > 5 && n.compare(n.size() - 5, 5, ".onnx") == 0;
      if (onnx && (n.rfind("model_", 0) == 0 || n.rfind("render_model.", 0) == 0)) out.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

int cmdInfo(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: qo info BUNDLE\n");
    return 2;
  }
  if (const std::string why = whyNotABundle(argv[0]); !why.empty()) {
    std::fprintf(stderr, "qo info: %s\n", why.c_str());
    return 1;
  }
  Manifest m;
  try {
    m = loadManifest(argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo info: %s\n", e.what());
    return 1;
  }
  std::printf("bundle     %s\n", argv[0]);
  if (m.dir != argv[0]) std::printf("resolved   %s\n", m.dir.c_str());
  std::printf("agent      %s\n", m.agent.c_str());
  std::printf("canvas     %dx%d, crop %d\n", m.W, m.H, m.crop);
  std::printf("frames     %d source frames, %d drive frames\n", m.NT, m.frames);
  std::printf("stamp      M authored on %dx%d%s\n", m.M_src_w, m.M_src_h,
              m.M_src_w == m.W && m.M_src_h == m.H ? " (this canvas)" : " (rescaled to this canvas)");
  std::printf("unsharp    amount %g, sigma %g, ksize %d\n", m.unsharp.amount, m.unsharp.sigma, m.unsharp.ksize);
  std::printf("members\n");
  for (const char* name : kMembers) {
    std::string path = resolveMember(m.dir, name);
    std::string where = path == m.dir + "/" + name ? "" : "  (as " + path.substr(m.dir.size() + 1) + ")";
    std::printf("  %-22s %s%s\n", name, describe(path).c_str(), where.c_str());
  }
  for (const std::string& model : directorModels(m.dir))
    std::printf("  %-22s %s\n", model.c_str(), describe(m.dir + "/" + model).c_str());
  return 0;
}

}  // namespace qo::tool
