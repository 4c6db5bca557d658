// The demo bank as the pass takes it, for the teeth benchmarks.
#pragma once

#include "tessera/qo_tessera_pass.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::bench {

inline tessera::BankData demoBankData(int crop, int donors) {
  const devkit::DemoBank b = devkit::demoBank(crop, donors);
  tessera::BankData bank;
  bank.stamp = tessera::GeometryStamp::fromValues(devkit::demoTesseraStamp(crop));
  bank.n_donors = b.n;
  bank.bands = b.donorBands;
  bank.cent = b.cent;
  bank.c_canon = {b.c_canon[0], b.c_canon[1]};
  bank.aperture = b.aperture;
  return bank;
}

}  // namespace qo::bench
