// The process-wide "com.corvanta" custom-operator domain.
#include "render/qo_band_op.h"
#include "render/qo_custom_ops.h"

namespace qo {

Ort::CustomOpDomain& domainOps() {
  // Sessions keep a pointer to the domain: it lives until process exit, past every session.
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.corvanta");
    d.Add(gridSampleFastOp());
    d.Add(warpDirectorOp());
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(domainOps()); }

void registerWarpDirector(Ort::SessionOptions& options) { options.Add(domainOps()); }

}  // namespace qo
