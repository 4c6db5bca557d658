// The director renderer: per frame, a source-frame index and two keypoint sets become a face crop
// rendered by the bundle's director graph on ONNX Runtime.
//
//   qo::Renderer r(manifest, identity, "b1", /*threads=*/0, /*ep=*/"");
//   int32_t si = 7;
//   const float* crop = r.render(&si, xsSource, xsDriving, 1);  // [batch][3][crop][crop], RGB
//
// Every input and output tensor is allocated and bound once at construction; render() allocates
// nothing. Refusals (a graph that breaks the host keypoint contract, a bundle without the assets
// the graph needs, an unsupported execution provider) throw std::runtime_error at construction,
// never at the first frame. A renderer serves one caller at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qo/qo_export.h"

namespace qo {

struct Manifest;
class Identity;

class QO_API Renderer {
 public:
  // modelKey selects the member "model_<key>.onnx"; threads < 1 means qo::pool::threads();
  // ep is "" (the ONNX Runtime CPU provider), "neon" (the native engine, where available) or
  // "coreml[:cpu|gpu|ane|all]". The identity must outlive the renderer.
  Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1..batch()) frames: frame j from source frame si[j], source keypoints
  // kpSource + 63 j and driving keypoints kpDriving + 63 j. Slots n..batch-1 repeat frame n-1.
  // The result (batch x 3 x crop x crop floats) stays valid until the next render.
  const float* render(const int32_t* si, const float* kpSource, const float* kpDriving, int n);

  // ONNX Runtime's working memory between runs. By default every run hands its arena back, so a
  // renderer used now and then holds nothing between frames, at the price of fresh pages (page
  // faults) on every frame. A stream that renders bursts of frames holds the arena instead and
  // asks for the release on a burst's last frame. Not thread-safe, like render().
  void holdArenaBetweenRuns(bool hold);
  void releaseArenaAfterNextRun();

  int batch() const;
  const char* ep() const;           // "cpu", the CoreML provider string, or "neon"
  const char* backend() const;      // "ort" or "neon"
  const char* directorNote() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Where the CoreML provider caches compiled models for a bundle:
// dir + "/.coreml_cache/ort" + the ONNX Runtime version ("unknown" when it reports none).
QO_API std::string coremlCacheDir(const std::string& bundleDir);

}  // namespace qo
