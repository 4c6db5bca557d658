// The teeth members of a bundle: carriage, arming rule, loading refusals and the C functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "qo/qo_tessera.h"
#include "support/test_support.h"
#include "tessera/qo_bundle_tessera.h"
#include "tools/devkit/demo_tessera.h"

namespace qo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kStamp =
    "{\"canvas_w\": 64, \"canvas_h\": 64, \"window_x0\": 16, \"window_y0\": 40, \"window_w\": 32, \"window_h\": 16, "
    "\"pad\": 2, \"band_r0\": 4, \"band_r1\": 12, \"band_c0\": 4, \"band_c1\": 28, \"shift_margin\": 2}";

struct Sidecar {
  std::string format = "\"tessera_bank.v1\"";
  std::string n = "3";
  std::string geometry = kStamp;
  std::string trackOrder = "[2, 0, 1]";
  std::string cent = "[[1, 2], [3, 4], [5, 6.5]]";
  std::string aperture = "[0.1, 0.2, 0.3]";
  std::string cCanon = "[7, 8]";
  std::string codec = "{\"codec\": \"h264\", \"pix_fmt\": \"gbrp\"}";

  std::string text() const {
    return "{\"format\": " + format + ", \"n_donors\": " + n + ", \"geometry\": " + geometry +
           ", \"track_order\": " + trackOrder + ", \"cent\": " + cent + ", \"aperture\": " + aperture +
           ", \"c_canon\": " + cCanon + ", \"codec\": " + codec + "}";
  }
};

// A bundle directory with the four members (the bank track only needs to exist here).
struct Bundle {
  test::TempDir dir;
  explicit Bundle(const Sidecar& sc = Sidecar(), const std::string& manifestExtra = "") {
    test::writeFile(dir / "manifest.json", test::manifestText(96, 64, 32, 4, manifestExtra));
    test::writeFile(dir / "tessera_bank.v1.mp4", "track");
    test::writeFile(dir / "tessera_bank.v1.json", sc.text());
    test::writeFile(dir / "tessera_head.v1.pt", devkit::demoHeadPt());
    test::writeFile(dir / "tessera_head.v1.json", devkit::demoHeadConfig());
  }
  std::string sidecar() const { return dir / "tessera_bank.v1.json"; }
};

std::string loadFault(const Bundle& b) {
  try {
    loadTesseraMembers(b.dir.path());
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraCarriage, FindsMembersAndArms) {
  test::TempDir empty;
  TesseraCarriage c = tesseraCarriage(empty.path());
  EXPECT_FALSE(c.declared);
  EXPECT_FALSE(c.complete);
  EXPECT_EQ(c.missing.size(), 4u);
  EXPECT_EQ(c.path("head_config"), empty / "tessera_head.v1.json");
  EXPECT_THROW(c.path("nope"), std::runtime_error);

  Bundle b(Sidecar(), "\"tessera\": {\"members\": {\"bank_track\": \"\", \"bank_sidecar\": 7, \"head_config\": "
                      "\"other.json\"}, \"planes\": [\"utt\", 3, \"stream\"]}");
  c = tesseraCarriage(b.dir.path());
  EXPECT_TRUE(c.declared);
  EXPECT_THAT(c.planes, ElementsAre("utt", "stream"));
  EXPECT_EQ(c.slots.names[0], "tessera_bank.v1.mp4");
  EXPECT_EQ(c.slots.names[1], "tessera_bank.v1.json");
  EXPECT_THAT(c.missing, ElementsAre("head_config"));
  try {
    requireTesseraMembers(c);
    FAIL();
  } catch (const MissingTesseraMember& e) {
    EXPECT_THAT(e.what(), StartsWith("missing teeth member(s): head_config (other.json) — carries 3 of 4 and declares "
                                     "a manifest.tessera block"));
    EXPECT_THAT(e.missing(), ElementsAre("head_config"));
  }
  std::remove((b.dir / "tessera_bank.v1.mp4").c_str());
  test::writeFile(b.dir / "manifest.json", "{ not json");
  c = tesseraCarriage(b.dir.path());
  EXPECT_FALSE(c.declared);
  EXPECT_THAT(loadFault(b), StartsWith("missing teeth member(s): bank_track (tessera_bank.v1.mp4) — carries 3 of 4. "
                                       "ONE predicate"));
  std::remove((b.dir / "tessera_head.v1.json").c_str());
  EXPECT_THAT(loadFault(b), StartsWith("missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config "
                                       "(tessera_head.v1.json) — carries 2 of 4"));

  // Without a manifest the members are still found by their default names, and loading stops
  // after the arming check, at the missing compose descriptor.
  Bundle bare;
  std::remove((bare.dir / "manifest.json").c_str());
  EXPECT_TRUE(tesseraCarriage(bare.dir.path()).complete);
  EXPECT_EQ(loadFault(bare), bare.dir.path() + " carries no manifest.json or meta.json — the compose descriptor "
                                               "(unified.pi) the pass places its window by lives there, and placing "
                                               "a borrow window without it is guessing.");
}

TEST(TesseraCarriage, LoadsAndCrossChecks) {
  Bundle good;
  test::writeFile(good.dir / "lip_template.v1.json", "{}");
  const TesseraAttachInputs in = loadTesseraMembers(good.dir.path());
  EXPECT_EQ(in.n_donors, 3);
  EXPECT_THAT(in.track_order, ElementsAre(2, 0, 1));
  EXPECT_THAT(in.cent, ElementsAre(1, 2, 3, 4, 5, 6.5));
  EXPECT_EQ(in.c_canon[1], 8);
  EXPECT_EQ(in.band_w, 28);
  EXPECT_EQ(in.band_h, 12);
  EXPECT_EQ(in.bandBytes(), 3u * 28 * 12 * 3);
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");
  EXPECT_EQ(in.lip_template_json, "{}");
  EXPECT_EQ(in.head_pt.size(), devkit::demoHeadPt().size());

  // The manifest's block overrides codec/pixel format and must agree on the stamp.
  EXPECT_EQ(loadTesseraMembers(Bundle(Sidecar(), "\"tessera\": {\"bank_pix_fmt\": \"rgb24\", \"geometry\": " + kStamp +
                                                     "}")
                                   .dir.path())
                .bank_pix_fmt,
            "rgb24");
  std::string other = kStamp;
  other.replace(other.find("\"pad\": 2"), 8, "\"pad\": 3");
  EXPECT_THAT(loadFault(Bundle(Sidecar(), "\"tessera\": {\"geometry\": " + other + "}")),
              HasSubstr("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest "
                        "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=40, window_w=32, window_h=16, pad=3,"));
}

TEST(TesseraCarriage, SidecarRefusals) {
  auto fault = [](void (*edit)(Sidecar&)) {
    Sidecar s;
    edit(s);
    Bundle b(s);
    return std::make_pair(loadFault(b), b.sidecar());
  };
  auto expect = [&](void (*edit)(Sidecar&), const std::string& tail) {
    const auto [msg, path] = fault(edit);
    EXPECT_THAT(msg, StartsWith(path + tail));
  };
  expect([](Sidecar& s) { s.format = "\"tessera_bank.v2\""; }, " declares format 'tessera_bank.v2', not");
  expect([](Sidecar& s) { s.geometry = "[]"; }, " carries no `geometry` stamp");
  expect([](Sidecar& s) { s.n = "0"; }, " says n_donors=0");
  expect([](Sidecar& s) { s.n = "1025"; }, " carries n_donors=1025, over the owner's cap of 1024");
  expect([](Sidecar& s) { s.aperture = "{}"; }, " lacks one of track_order/cent/aperture/c_canon as an array");
  expect([](Sidecar& s) { s.cent = "[[1, 2]]"; },
         " says n_donors=3 but carries track_order=3, cent=1, aperture=3 — a count mismatch");
  expect([](Sidecar& s) { s.cCanon = "[1]"; }, " c_canon is not a pair");
  expect([](Sidecar& s) { s.trackOrder = "[1, 1, 0]"; }, " track_order is not a permutation (reference 1 appears");
  expect([](Sidecar& s) { s.trackOrder = "[0, 3, 1]"; }, " track_order[1]=3 is outside [0,3)");
  expect([](Sidecar& s) { s.trackOrder = "[0, 1e300, 1]"; }, " track_order[1]=1e+300 is outside [0,3)");
  expect([](Sidecar& s) { s.trackOrder = "[0, -1, 1]"; }, " track_order[1]=-1 is outside [0,3)");
  expect([](Sidecar& s) { s.cent = "[[1, 2], [3], [5, 6]]"; }, " cent[1] is not an (x,y) pair");
  EXPECT_THAT(fault([](Sidecar& s) { s.n = "4294967299"; }).first, HasSubstr("has a bad numeric 'n_donors'"));
  EXPECT_THAT(fault([](Sidecar& s) { s.n = "\"3\""; }).first, HasSubstr("lacks numeric 'n_donors'"));
  EXPECT_THAT(fault([](Sidecar& s) { s.codec = "{\"codec\": \"h264\"}"; }).first,
              HasSubstr("neither manifest.tessera.bank_pix_fmt nor "));
  EXPECT_THAT(fault([](Sidecar& s) {
                s.geometry.replace(s.geometry.find("\"band_c1\": 28"), 13, "\"band_c1\": 4");
                s.geometry.replace(s.geometry.find("\"shift_margin\": 2"), 17, "\"shift_margin\": 0");
              }).first,
              HasSubstr("teeth stamp yields a non-positive stored patch (0x8)"));
  EXPECT_THAT(fault([](Sidecar& s) { s.cent = "[[1, 2], [3, 4], [5, 6]"; }).first,
              HasSubstr("is not readable JSON: teeth: malformed JSON array"));

  // 1024 donors is the cap, still loaded.
  Sidecar big;
  big.n = "1024";
  big.trackOrder = big.cent = big.aperture = "[";
  for (int i = 0; i < 1024; ++i) {
    const std::string sep = i ? ", " : "";
    big.trackOrder += sep + std::to_string(1023 - i);
    big.cent += sep + "[0, 0]";
    big.aperture += sep + "1";
  }
  big.trackOrder += "]", big.cent += "]", big.aperture += "]";
  EXPECT_EQ(loadTesseraMembers(Bundle(big).dir.path()).track_order[0], 1023);
}

TEST(TesseraCarriage, CFunctions) {
  EXPECT_EQ(qo_tessera_slot_count(), 4);
  EXPECT_STREQ(qo_tessera_slot_key(2), "head_weights");
  EXPECT_EQ(qo_tessera_slot_key(4), nullptr);
  EXPECT_EQ(qo_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(qo_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(qo_tessera_carriage_complete(nullptr), 0);
  EXPECT_STREQ(qo_tessera_carriage_path(nullptr, "bank_track"), "");

  Bundle b;
  qo_tessera_carriage* c = qo_tessera_carriage_open(b.dir.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(qo_tessera_carriage_complete(c), 1);
  EXPECT_EQ(qo_tessera_carriage_declared(c), 0);
  EXPECT_EQ(qo_tessera_carriage_missing_count(c), 0);
  EXPECT_EQ(qo_tessera_carriage_missing(c, 0), nullptr);
  EXPECT_EQ(std::string(qo_tessera_carriage_path(c, "bank_sidecar")), b.sidecar());
  EXPECT_STREQ(qo_tessera_carriage_path(c, "nope"), "");
  qo_tessera_carriage_close(c);

  char err[256];
  qo_tessera_members* m = qo_tessera_members_open(b.dir.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(qo_tessera_members_n_donors(m), 3);
  EXPECT_EQ(qo_tessera_members_stamp(m)[6], 2);
  EXPECT_EQ(qo_tessera_members_cent(m)[5], 6.5);
  EXPECT_EQ(qo_tessera_members_head_pt_len(m), devkit::demoHeadPt().size());
  EXPECT_STREQ(qo_tessera_members_bank_pix_fmt(m), "gbrp");
  EXPECT_EQ(qo_tessera_members_band_bytes(m), 3u * 28 * 12 * 3);
  // Track frame i goes to donor slot track_order[i] = {2, 0, 1}.
  const size_t stride = 28 * 12 * 3;
  std::vector<uint8_t> track(3 * stride), donor(3 * stride, 0);
  for (size_t i = 0; i < 3; ++i) std::fill(track.begin() + ptrdiff_t(i * stride), track.begin() + ptrdiff_t((i + 1) * stride), uint8_t(10 + i));
  EXPECT_EQ(qo_tessera_members_reorder(m, track.data(), donor.data(), err, sizeof err), 0);
  EXPECT_EQ(donor[2 * stride], 10);
  EXPECT_EQ(donor[0], 11);
  EXPECT_EQ(donor[stride], 12);
  EXPECT_EQ(qo_tessera_members_reorder(m, nullptr, donor.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "qo_tessera_members_reorder: null argument");
  qo_tessera_members_close(m);
  EXPECT_EQ(qo_tessera_members_n_donors(nullptr), 0);
  EXPECT_STREQ(qo_tessera_members_head_json(nullptr), "");

  EXPECT_EQ(qo_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "qo_tessera_members_open: null bundle_dir");
  test::TempDir empty;
  char one[1] = {'x'};
  EXPECT_EQ(qo_tessera_members_open(empty.path().c_str(), one, 1), nullptr);
  EXPECT_EQ(one[0], '\0');
  char small[8];
  EXPECT_EQ(qo_tessera_members_open(empty.path().c_str(), small, sizeof small), nullptr);
  EXPECT_STREQ(small, "missing");
}

}  // namespace
}  // namespace qo
