// Host path -> bundle directory, and member name -> file path (with the older layout's names).
#include <cstring>
#include <string>
#include <utility>

#include "bundle/qo_bundle.h"
#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"

namespace qo {
namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

// The name the older bundle layout used for `name`, or `name` itself when there is none.
std::string legacyMemberName(const std::string& name) {
  static const std::pair<const char*, const char*> kExact[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& [current, legacy] : kExact)
    if (name == current) return legacy;

  // model_b<H>[_<T>].onnx -> render_model.batch<H>[.<T>].onnx
  const size_t kPre = std::strlen("model_b"), kSuf = std::strlen(".onnx");
  if (startsWith(name, "model_b") && fs::endsWith(name, ".onnx") && name.size() > kPre + kSuf) {
    std::string s = name.substr(kPre, name.size() - kPre - kSuf);
    size_t us = s.find('_');
    std::string h = s.substr(0, us);
    std::string t = us == std::string::npos ? std::string() : s.substr(us + 1);
    return "render_model.batch" + h + (t.empty() ? "" : "." + t) + ".onnx";
  }

  // drive/<B><E> -> idle_loop/<B'><E>
  if (startsWith(name, "drive/")) {
    std::string r = name.substr(std::strlen("drive/"));
    size_t dot = r.find('.');
    std::string b = r.substr(0, dot);
    std::string e = dot == std::string::npos ? std::string() : r.substr(dot);
    if (b == "xs") b = "source_keypoints";
    else if (b == "xd") b = "driven_keypoints";
    else if (b == "si") b = "source_index";
    return "idle_loop/" + b + e;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string legacy = legacyMemberName(name);
  const std::string current = dir + "/" + name;
  if (legacy == name) return current;
  if (fs::canRead(current)) return current;
  const std::string old = dir + "/" + legacy;
  if (fs::canRead(old)) return old;
  return current;
}

bool isImxV2File(const std::string& path) {
  if (!fs::isRegularFile(path)) return false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char head[8];
  bool ok = std::fread(head, 1, 8, f) == 8;
  std::fclose(f);
  return ok && std::memcmp(head, imx::kMagic, 4) == 0 && (head[4] | (head[5] << 8)) == imx::kVersion;
}

// Any file with the IMX magic goes to the unwrap, whatever its version, so the host sees the
// container's real problem ("unsupported IMX container version 1") instead of a missing manifest.
std::string resolveBundlePath(const std::string& p) {
  if (p.empty()) return p;
  if (fs::isDirectory(p)) return p;
  if (fs::endsWith(p, ".imx") && imx::hasMagic(p)) return imx::unwrap(p);

  std::string stem = p;
  while (stem.size() > 1 && stem.back() == '/') stem.pop_back();
  const std::string sibling = stem + ".imx";
  if (imx::hasMagic(sibling)) return imx::unwrap(sibling);
  if (imx::hasMagic(p)) return imx::unwrap(p);
  return p;
}

}  // namespace qo
