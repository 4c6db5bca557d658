// The native fp16 convolution engine for the fused "m4b" director at crop 512. It takes only the
// weights from the graph file and runs its own copy of the network, with its own worker threads.
// Weights and feature maps are fp16 (feature maps channel-last with a one-pixel zero border);
// the arithmetic is float on every target (fp16 values widened on load, one rounding per store).
//
// The network (the one definition; tools/devkit/demo_m4b.cc writes the same graph for ORT).
// Per frame: pooled64 [64,32,32] and P [3,512,512] (fp16 tables), ks, kd [21,3] keypoint sets.
//   x85        = concat(pooled64, dx) at 32x32, dx[k] = kd[k].x - ks[k].x on every pixel (21 ch)
//   pre_relu   = relu(pre 1x1 (x85))                                     32x32x96
//   e0_relu    = relu(e0 (pre_relu))                                     32x32x96
//   e1_relu    = relu(e1 (maxpool2 (e0_relu)))                           16x16x144
//   e2_relu    = relu(e2 (maxpool2 (e1_relu)))                           8x8x192
//   d1_relu    = relu(d1 (concat(up2 (e2_relu), e1_relu)))               16x16x144
//   d0_relu    = relu(d0 (concat(up2 (d1_relu), e0_relu)))               32x32x96
//   ref_relu   = relu(ref (up2 (d0_relu)))                               64x64x48
//   mask_conv  = s.mask (ref_relu)                                       64x64x22
//   occ_sig    = sigmoid(s.occ (ref_relu))                               64x64x1
//   grid_add   = sum_{k<21} softmax_c(mask_conv)[k] * (ks[k].xy - kd[k].xy) + s.grid64 + up2(grid32)
//                                                                        [64,64,2], x then y
//   h          = relu(s.wmlp.0 [gap(e2_relu) (192), kd - ks (63, row-major)])   128
//   coef       = s.wmlp.2 h                                              64
// Basis: basisimg = fp16(coef) . basis                                   [3,256,256]
// Image (512 x 512):
//   occ512     = up8 (occ_sig)
//   warped     = occ512 * gridsample(P, resize8 (grid_add))
//                gridsample: bilinear, zero padding, align_corners 0; resize8: linear, half-pixel,
//                source coordinates clamped to the map
//   x7         = concat(avgpool2 (warped), basisimg, avgpool2 (occ512))  256x256x7
//   corr2_conv = corr2 (relu(corr1 (relu(corr0 (x7)))))                 256x256x12
//   refined    = warped + depth_to_space2 (corr2_conv)  (channel 4c + 2i + j -> pixel (2y+i, 2x+j) of c)
//   tiles      : the six 256x208 windows at rows {0, 256} x columns {0, 152, 304} of
//                y7 = concat(refined, warped, occ512), each convolved alone (zero border):
//                tile3_conv = tile3 (relu(tile2 (relu(tile1 (relu(tile0 (y7 window)))))))
//   rgb        = refined + sum over windows of s.feather * tile3_conv, windows in that order
// up2 / up8: nearest (pixel (y, x) reads (y / s, x / s)); maxpool2 / avgpool2: 2x2, stride 2.
// 3x3 convolutions have zero padding 1; every layer adds its bias.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qo {

class ConvBackend {
 public:
  // Whether this build has a dispatch target for the kernels on this CPU.
  static bool available();
  // Whether the graph file carries exactly the initializers this engine implements. A file that
  // does not open or parse is not supported. `reason`, when given, receives why not.
  static bool graphSupported(const std::string& path, std::string* reason = nullptr);
  // Reads and packs the weights and starts threads - 1 workers (threads < 1: qo::pool::threads()).
  // Throws std::runtime_error with a "qo_conv: ..." or "onnx: ..." text on every refusal.
  static std::unique_ptr<ConvBackend> create(const std::string& path, int threads);

  ~ConvBackend();
  ConvBackend(const ConvBackend&) = delete;
  ConvBackend& operator=(const ConvBackend&) = delete;

  // Frames per call, from the graph's "pooled64" input.
  int batch() const;
  // Renders n frames into out (n x [3,512,512] float). pooled64[j] points at 65536 fp16 values
  // ([64,32,32]), p[j] at 512 x 512 x 3 ([3,512,512]); kpSource and kpDriving hold n x 63 floats.
  // Throws "qo_conv: bad n" unless 1 <= n <= batch, and names any null pointer. Calls must not
  // overlap; the engine's threads are its own.
  void render(const uint16_t* const* pooled64, const uint16_t* const* p, const float* kpSource,
              const float* kpDriving, int n, float* out);

  // Time spent per convolution layer (and per phase of the rest of the frame), summed over the
  // renders since setProfiling(true): for benchmarks, which need the convolutions apart from the
  // rest. Off by default; when off, render reads no clock. Call between renders only.
  struct LayerProfile {
    std::string name;
    int taps = 0;               // 9: 3 x 3, 1: 1 x 1, 0: not a convolution
    bool winograd = false;      // every band ran the Winograd form
    double executedFlops = 0;   // twice the multiply-adds of the products run (stored channels)
    double wallSeconds = 0;     // the layer's parallel phase, caller's steady clock
    double cpuSeconds = 0;      // CPU time of the whole process over the same phase
    int calls = 0;
  };
  void setProfiling(bool on);  // on: also clears what was gathered
  std::vector<LayerProfile> profile() const;

  struct Impl;

 private:
  explicit ConvBackend(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo
