#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bundle/qo_bundle.h"
#include "bundle/qo_fs.h"
#include "tessera/qo_bundle_tessera.h"
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

// The teeth-borrow carriage: which of the four members are present and, when all are, whether
// they load and agree with each other.
void printTessera(const std::string& dir) {
  const TesseraCarriage c = tesseraCarriage(dir);
  std::string planes;
  for (const std::string& p : c.planes) planes += (planes.empty() ? ", planes " : " ") + p;
  std::printf("tessera    %s (%d of 4 members)%s%s\n", c.complete ? "complete" : "incomplete",
              4 - int(c.missing.size()), c.declared ? ", declared in the manifest" : "", planes.c_str());
  for (int i = 0; i < tesseraSlotCount(); ++i)
    std::printf("  %-22s %s (%s)\n", tesseraSlotKeys()[i], describe(c.paths[size_t(i)]).c_str(),
                c.slots.names[size_t(i)].c_str());
  if (!c.complete) return;
  try {
    const TesseraAttachInputs in = loadTesseraMembers(dir);
    std::printf("  loaded                 %d donors, band %dx%d, %s %s in %s\n", in.n_donors, in.band_w, in.band_h,
                in.bank_codec.c_str(), in.bank_pix_fmt.c_str(), in.bank_container.c_str());
  } catch (const std::exception& e) {
    std::printf("  refused                %s\n", e.what());
  }
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
  printTessera(m.dir);
  return 0;
}

}  // namespace qo::tool
