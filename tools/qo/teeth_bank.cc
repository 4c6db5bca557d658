#include "tools/qo/teeth_bank.h"

#include <fstream>
#include <iterator>
#include <numeric>
#include <stdexcept>

namespace qo::tool {

bool hasTeethMembers(const std::string& bundle) {
  qo_tessera_carriage* c = qo_tessera_carriage_open(bundle.c_str());
  if (!c) return false;
  const bool complete = qo_tessera_carriage_complete(c) == 1;
  qo_tessera_carriage_close(c);
  return complete;
}

TeethBank loadTeethBank(const std::string& bundle) {
  TeethBank b;
  char err[512] = "";
  b.members.reset(qo_tessera_members_open(bundle.c_str(), err, sizeof err));
  if (!b.members) throw std::runtime_error(err);
  qo_tessera_members* m = b.members.get();
  b.n = qo_tessera_members_n_donors(m);
  const std::string path = qo_tessera_members_bank_track_path(m);
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  const std::string track((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  // Decoded in track order, then moved into donor order by the sidecar's permutation.
  std::vector<int32_t> inOrder(static_cast<size_t>(b.n));
  std::iota(inOrder.begin(), inOrder.end(), 0);
  const std::vector<uint8_t> trackBands = tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), b.n, qo_tessera_members_band_w(m),
      qo_tessera_members_band_h(m), inOrder, qo_tessera_members_bank_pix_fmt(m));
  b.bands.resize(qo_tessera_members_band_bytes(m));
  if (qo_tessera_members_reorder(m, trackBands.data(), b.bands.data(), err, sizeof err) != 0)
    throw std::runtime_error(err);
  return b;
}

void attachTeethBank(qo_utt* u, const TeethBank& b) {
  qo_tessera_members* m = b.members.get();
  char err[1024] = "";
  if (qo_utt_tessera_attach(u, b.bands.data(), b.n, qo_tessera_members_cent(m), qo_tessera_members_c_canon(m),
                            qo_tessera_members_aperture(m), qo_tessera_members_stamp(m), qo_tessera_members_head_pt(m),
                            int(qo_tessera_members_head_pt_len(m)), qo_tessera_members_head_json(m),
                            qo_tessera_members_manifest_json(m), err, sizeof err) != 0)
    throw std::runtime_error(err);
}

}  // namespace qo::tool
