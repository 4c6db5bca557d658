#include "tools/devkit/demo_bundle.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"
#include "qo/qo_identity.h"
#include "qo/qo_image.h"
#include "qo/qo_simd.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_director.h"
#include "tools/devkit/demo_fca.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_motion.h"
#include "tools/devkit/demo_pi.h"
#include "tools/devkit/demo_tessera.h"
#include "tools/devkit/media_writer.h"

namespace qo::devkit {
namespace {

void writeBytes(const std::string& path, const void* data, size_t bytes) {
  fs::mkdirs(fs::dirName(path));
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!f || (bytes > 0 && std::fwrite(data, 1, bytes, f.get()) != bytes)) throw std::runtime_error("cannot write " + path);
  if (std::fclose(f.release()) != 0) throw std::runtime_error("cannot write " + path);
}

template <class T>
void writeVector(const std::string& path, const std::vector<T>& v) {
  writeBytes(path, v.data(), v.size() * sizeof(T));
}

std::vector<uint8_t> toRgb8(const std::vector<float>& planes, int side) {
  const size_t n = size_t(side) * side;
  std::vector<uint8_t> rgb(n * 3);
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = uint8_t(std::lround(std::fmin(1.0f, std::fmax(0.0f, planes[c * n + i])) * 255));
  return rgb;
}

}  // namespace

float demoIdleOpen(int i) { return 0.4f * (0.5f + 0.5f * std::sin(float(i) * 0.9f)); }

void writeDemoBundle(const std::string& dir, const DemoOptions& o) {
  if (o.width < 8 || o.height < 8 || o.crop < 8 || o.crop % 2 || o.nt < 1)
    throw std::runtime_error("demo bundle: bad size (canvas at least 8x8, even crop of at least 8, NT >= 1)");
  if (!fs::mkdirs(dir)) throw std::runtime_error("cannot create " + dir);
  const int frames = o.frames < 0 ? o.nt : o.frames;
  const size_t nt = size_t(o.nt), crop = size_t(o.crop), plane = crop * crop;

  // Warp prior: the neutral face, identical for every source frame (the pose lives in M).
  std::vector<float> face(plane * 3);
  renderCrop(o.crop, 0.0f, face.data());
  if (o.priorMovie) {
    MovieOptions mo;
    mo.width = mo.height = o.crop;
    mo.codec = VideoCodec::kHevc444;
    mo.crf = 12;
    MovieWriter w(dir + "/P_hevc.mov", mo);
    const std::vector<uint8_t> rgb = toRgb8(face, o.crop);
    for (size_t i = 0; i < nt; ++i) w.addRgb(rgb.data());
    w.finish();
  } else {
    std::vector<uint16_t> halves(plane * 3);
    simd::f32ToF16(face.data(), halves.data(), halves.size());
    const std::string path = dir + "/P.f16";
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) throw std::runtime_error("cannot write " + path);
    for (size_t i = 0; i < nt; ++i)
      if (std::fwrite(halves.data(), 2, halves.size(), f.get()) != halves.size()) throw std::runtime_error("cannot write " + path);
  }

  // Pooled source features: a smooth deterministic field per source frame.
  {
    std::vector<float> feat(Identity::kPooledHalves);
    std::vector<uint16_t> halves(feat.size());
    const std::string path = dir + "/pooled64.f16";
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) throw std::runtime_error("cannot write " + path);
    for (size_t i = 0; i < nt; ++i) {
      for (size_t k = 0; k < feat.size(); ++k)
        feat[k] = 0.25f * std::sin(float(k % 1024) * 0.013f + float(k / 1024) * 0.7f + float(i) * 0.05f);
      simd::f32ToF16(feat.data(), halves.data(), halves.size());
      if (std::fwrite(halves.data(), 2, halves.size(), f.get()) != halves.size()) throw std::runtime_error("cannot write " + path);
    }
  }
  if (o.fsRed) {
    std::vector<uint16_t> halves(Identity::kFsRedHalves);
    for (size_t k = 0; k < halves.size(); ++k) halves[k] = f32ToF16(0.1f * std::cos(float(k) * 0.001f));
    std::vector<uint16_t> all;
    all.reserve(halves.size() * nt);
    for (size_t i = 0; i < nt; ++i) all.insert(all.end(), halves.begin(), halves.end());
    writeVector(dir + "/fs_red.f16", all);
  }

  // Paste transforms, authored on the stamp canvas.
  const int sw = o.stampWidth > 0 ? o.stampWidth : o.width, sh = o.stampHeight > 0 ? o.stampHeight : o.height;
  std::vector<float> M(nt * 6);
  for (int i = 0; i < o.nt; ++i) {
    const std::array<float, 6> t = demoTransform(i, o.nt, o.width, o.height, o.crop);
    const double fx = double(sw) / o.width, fy = double(sh) / o.height;
    for (int k = 0; k < 3; ++k) M[size_t(i) * 6 + k] = float(t[k] * fx);
    for (int k = 3; k < 6; ++k) M[size_t(i) * 6 + k] = float(t[k] * fy);
  }
  writeVector(dir + "/M.f32", M);

  // Drive tables: the idle loop replays the source frames with a gentle lip motion.
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  const std::array<float, 63> neutral = faceKeypoints(0.0f);
  for (int i = 0; i < frames; ++i) {
    const std::array<float, 63> driven = faceKeypoints(demoIdleOpen(i));
    xs.insert(xs.end(), neutral.begin(), neutral.end());
    xd.insert(xd.end(), driven.begin(), driven.end());
    si.push_back(int32_t(i % o.nt));
  }
  writeVector(dir + "/drive/xs.f32", xs);
  writeVector(dir + "/drive/xd.f32", xd);
  writeVector(dir + "/drive/si.i32", si);
  std::vector<float> target;
  for (int i = 0; i < o.nt; ++i) target.insert(target.end(), neutral.begin(), neutral.end());
  writeVector(dir + "/xs_target.bin", target);

  writeVector(dir + "/mask_512.u8", faceMask(o.crop));
  if (o.audio) {
    DemoAudioOptions a;
    a.targetRows = o.nt;
    writeDemoAudioModels(dir, a);
    writeDemoStreamAssets(dir, o.crop);
  }
  if (o.motion) {
    DemoMotionOptions m;
    m.nt = o.nt;
    writeDemoMotion(dir + "/motion", m);
  }
  for (int batch : o.directorBatches) writeDemoDirector(dir + "/model_b" + std::to_string(batch) + ".onnx", o.crop, batch);

  // Driver video: the full frames with the head in its pose.
  std::vector<uint8_t> rgb(size_t(o.width) * o.height * 3);
  if (o.driverMovie) {
    MovieOptions mo;
    mo.width = o.width;
    mo.height = o.height;
    mo.crf = 18;
    MovieWriter w(dir + "/target_frames.mp4", mo);
    for (int i = 0; i < o.nt; ++i) {
      renderFrame(i, o.nt, o.width, o.height, o.crop, rgb.data());
      w.addRgb(rgb.data());
    }
    w.finish();
  } else {
    fs::mkdirs(dir + "/target_frames");
    for (int i = 0; i < o.nt; ++i) {
      renderFrame(i, o.nt, o.width, o.height, o.crop, rgb.data());
      char name[64];
      std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", i);
      writeJPG(dir + name, rgb.data(), o.width, o.height, 92);
    }
  }

  std::string manifest = "{\n  \"format\": \"qo-bundle-v0\",\n  \"agent\": \"demo\",\n";
  manifest += "  \"NT\": " + std::to_string(o.nt) + ",\n  \"W\": " + std::to_string(o.width) + ",\n  \"H\": " +
              std::to_string(o.height) + ",\n  \"crop\": " + std::to_string(o.crop) + ",\n";
  manifest += "  \"M_src_w\": " + std::to_string(sw) + ",\n  \"M_src_h\": " + std::to_string(sh) + ",\n";
  manifest += "  \"amount\": 1.3,\n  \"sigma\": 2.0,\n  \"ksize\": " + std::to_string(o.crop >= 16 ? 13 : 3) + ",\n";
  manifest += "  \"frames\": " + std::to_string(frames);
  if (o.priorMovie) manifest += ",\n  \"P_hevc\": \"P_hevc.mov\"";
  if (o.tessera) {
    writeDemoTessera(dir, o.crop);
    manifest += ",\n  \"tessera\": " + demoTesseraManifestBlock(o.crop);
    writeDemoPi(dir, o.crop);
    manifest += ",\n  \"unified\": " + demoUnifiedManifestBlock(o.crop);
  }
  manifest += "\n}\n";
  writeBytes(dir + "/manifest.json", manifest.data(), manifest.size());
}

}  // namespace qo::devkit
