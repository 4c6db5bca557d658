// The renderer's lip hook at load: the bundle's lip contour replaces the director's own compose
// ellipse when the graph's compose tail can be rewired to read it.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"
#include "render/qo_renderer_impl.h"

namespace qo {

bool Renderer::Impl::bindLipContour(std::vector<uint8_t>& bytes) {
  if (!lipContour) {
    std::fprintf(stderr,
                 "[qo] !!! compose alpha: ELLIPSE (%s) \xE2\x80\x94 this bundle carries no %s, so the director generates "
                 "the over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/ostrel-2/tools/carry_lip_template_fleet\n",
                 modelKey.c_str(), "lip_template.v1.json");
    return false;
  }
  std::string reason;
  int32_t canvas = 0;
  bool bound = false;
  // A FeatSynth director is bound by other names and never fed the mask: rewired, it would
  // declare an input no one binds and fail at its first run.
  if (GsGraphIndex(GsSlice(bytes)).graphInputs.count("fs_red"))
    reason = "a FeatSynth graph (fs_red input) is not fed lip_delivery";
  else
    bound = rewriteBindLipContour(bytes, reason, &canvas, nullptr);
  if (!bound) {
    std::fprintf(stderr,
                 "[qo] !!! lip contour NOT bound to the compose alpha (%s): %s \xE2\x80\x94 this session serves the "
                 "graph's own ELLIPSE\n",
                 modelKey.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    return false;
  }
  if (canvas != crop)
    throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                             " and this bundle's manifest declares crop " + std::to_string(crop) +
                             " \xE2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
  return true;
}

}  // namespace qo
