// The teeth-borrow members of a bundle: finding the four of them (the carriage), the all-or-none
// arming rule, and loading and cross-checking their contents into one record.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/qo_bundle.h"
#include "tessera/qo_tessera.h"

namespace qo {

inline constexpr int kTesseraSlots = 4;
inline constexpr int32_t kTesseraMaxDonors = 1024;

int tesseraSlotCount();
const char* const* tesseraSlotKeys();  // "bank_track", "bank_sidecar", "head_weights", "head_config"

// Member file names, one per slot, in slot order.
struct TesseraSlots {
  std::array<std::string, kTesseraSlots> names = {"tessera_bank.v1.mp4", "tessera_bank.v1.json",
                                                 "tessera_head.v1.pt", "tessera_head.v1.json"};
};

struct TesseraCarriage {
  TesseraSlots slots;
  std::array<std::string, kTesseraSlots> paths;  // kept even when the file does not open
  bool complete = false;
  std::vector<std::string> missing;  // slot keys, in slot order
  bool declared = false;             // the manifest has a "tessera" object
  std::vector<std::string> planes;   // its "planes" strings

  // Resolved path of a slot; throws "teeth: no such member slot '<key>'".
  const std::string& path(const std::string& slotKey) const;
};

// Refusal of an incomplete carriage, carrying the missing slot keys.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missing)
      : std::runtime_error(message), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // donor index of track frame i
  std::vector<double> cent;          // x, y per donor
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;
  tessera::GeometryStamp stamp;
  std::vector<uint8_t> head_pt;
  std::string head_json, manifest_json, lip_template_json;
  std::string bank_track_path, bank_container, bank_codec, bank_pix_fmt, bank_packing;
  int32_t band_w = 0, band_h = 0;

  uint64_t bandBytes() const { return uint64_t(n_donors) * uint64_t(band_h) * uint64_t(band_w) * 3u; }
};

// Never throws for absent members (absence is data); throws only when the bundle path itself
// cannot be resolved (a container that fails to unpack).
TesseraCarriage tesseraCarriage(const std::string& bundle);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when every member is present, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

// Loads and cross-checks the four members (plus manifest and lip template). Throws
// std::runtime_error naming the member and the inconsistency.
TesseraAttachInputs loadTesseraMembers(const std::string& bundle);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies decoded bands from track order into donor order (frame i to slot track_order[i]).
void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* trackBuf, uint8_t* donorBuf);

}  // namespace qo
