// The teeth-borrow members of the demo bundle, written by the devkit itself: a donor bank of
// procedural mouths with visible teeth (one band per donor, lossless RGB H.264), its sidecar, the
// head config, and the head weights as a torch-layout checkpoint (stored ZIP + pickled state
// dictionary; no Python, no torch). The archive pieces are exposed so tests can build faulty ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qo::devkit {

// The demo stamp for a crop x crop canvas: canvas_w .. shift_margin, with an even band size.
std::array<int32_t, 12> demoTesseraStamp(int crop);

struct DemoBank {
  int n = 0, w = 0, h = 0;             // donors and band size
  std::vector<int32_t> track_order;    // donor of track frame i
  std::vector<uint8_t> donorBands;     // n x h x w x 3, donor order
  std::vector<double> cent, aperture;  // 2n, n
  std::array<double, 2> c_canon{};
};

// Donor d's mouth opens a little wider than donor d - 1's; the track stores them permuted.
DemoBank demoBank(int crop, int donors);

// Encodes bands (n x h x w x 3, already in track order) as lossless RGB H.264 in an MP4
// (libx264rgb at qp 0; the decoder yields "gbrp"). Throws std::runtime_error.
void writeBankTrack(const std::string& path, const uint8_t* bands, int n, int w, int h);
inline constexpr const char* kDemoBankPixFmt = "gbrp";

// One tensor of a pickled state dictionary.
struct PtTensor {
  std::string name;
  std::vector<int64_t> shape;
  std::string key;        // storage key ("archive/data/<key>")
  int64_t offset = 0;     // storage offset, in elements
  std::string storage = "FloatStorage";
};

// The pickle torch writes for an OrderedDict of tensors (protocol 2, memoised globals, the
// _metadata attribute built on after the items).
std::string pickleStateDict(const std::vector<PtTensor>& tensors);

struct ZipMember {
  std::string name;
  std::string data;
  uint16_t method = 0;  // 0 stored; other values only label the entry (tests of refusal)
};

// A ZIP as torch writes it: stored entries, data aligned to 64 bytes through an extra field.
std::string storedZip(const std::vector<ZipMember>& members);

// The demo head's value of parameter `name` (deterministic, small).
std::vector<float> demoHeadTensor(const std::string& name, size_t count);

// The whole BlendHead(16) checkpoint (or BlendHead8(16) without the synthesis branch).
std::string demoHeadPt(bool synthesis = true);

// The head config member.
std::string demoHeadConfig();

// The manifest's "tessera" block (members, planes, geometry, bank container/packing), as the text
// of one JSON object.
std::string demoTesseraManifestBlock(int crop);

// Writes the four members into `dir`. Throws std::runtime_error.
void writeDemoTessera(const std::string& dir, int crop, int donors = 32);

}  // namespace qo::devkit
