#include "capi/qo_build_info.h"

#include <hwy/highway.h>
#include <onnxruntime_c_api.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qo {

std::string buildInfo() {
  const unsigned av = avcodec_version();
  return "onnxruntime " + std::string(OrtGetApiBase()->GetVersionString()) + ", libavcodec " +
         std::to_string(av >> 16) + "." + std::to_string((av >> 8) & 0xFF) + "." + std::to_string(av & 0xFF) +
         ", highway " + std::to_string(HWY_MAJOR) + "." + std::to_string(HWY_MINOR) + "." +
         std::to_string(HWY_PATCH);
}

}  // namespace qo
