// Bank track decode: lossless round trip into donor order, every track/stamp/sidecar mismatch
// refused; the demo bundle's members end to end through the C functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>

#include "qo/qo_tessera.h"
#include "support/test_support.h"
#include "tessera/qo_tessera.h"
#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_tessera.h"
#include "tools/devkit/media_writer.h"

namespace qo::tessera {
namespace {

using ::testing::HasSubstr;

struct Track {
  devkit::DemoBank bank;
  std::string bytes;  // the encoded track, frames in track order
};

Track makeTrack(int donors) {
  Track t;
  t.bank = devkit::demoBank(32, donors);
  const size_t stride = size_t(t.bank.w) * t.bank.h * 3;
  std::vector<uint8_t> track(t.bank.donorBands.size());
  for (int i = 0; i < donors; ++i)
    std::copy_n(t.bank.donorBands.begin() + ptrdiff_t(size_t(t.bank.track_order[size_t(i)]) * stride), stride,
                track.begin() + ptrdiff_t(size_t(i) * stride));
  test::TempDir dir;
  devkit::writeBankTrack(dir / "bank.mp4", track.data(), donors, t.bank.w, t.bank.h);
  t.bytes = test::readFile(dir / "bank.mp4");
  return t;
}

std::string fault(const std::string& bytes, int n, int w, int h, const std::vector<int32_t>& order,
                  const std::string& fmt = devkit::kDemoBankPixFmt) {
  try {
    decodeBankTrack(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), n, w, h, order, fmt);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::vector<int32_t> identity(int n) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), 0);
  return v;
}

TEST(TesseraBankDecode, DecodesIntoDonorOrderExactly) {
  const Track t = makeTrack(12);
  const auto& b = t.bank;
  ASSERT_NE(b.track_order, identity(12));
  const std::vector<uint8_t> out = decodeBankTrack(reinterpret_cast<const uint8_t*>(t.bytes.data()), t.bytes.size(),
                                                   b.n, b.w, b.h, b.track_order, devkit::kDemoBankPixFmt);
  EXPECT_TRUE(out == b.donorBands);
  EXPECT_THAT(bankDecoderBuild(), ::testing::StartsWith("libavcodec "));
}

TEST(TesseraBankDecode, RefusesMismatches) {
  const Track t = makeTrack(6);
  const int w = t.bank.w, h = t.bank.h;
  const auto order = t.bank.track_order;
  EXPECT_EQ(fault("", 6, w, h, order), "reference bank track is empty — refusing to serve");
  EXPECT_THAT(fault(t.bytes, 6, 0, h, order), HasSubstr("geometry is not positive"));
  EXPECT_THAT(fault(t.bytes, 6, w, h, identity(5)), HasSubstr("sidecar track_order has 5 entries, expected 6"));
  EXPECT_THAT(fault(t.bytes.substr(0, 64), 6, w, h, order), HasSubstr("reference bank track"));
  EXPECT_THAT(fault(std::string(4096, 'x'), 6, w, h, order), HasSubstr("is not a readable container"));
  EXPECT_EQ(fault(t.bytes, 6, w + 2, h, order),
            "reference bank track is " + std::to_string(w) + "x" + std::to_string(h) + ", the geometry stamp says " +
                std::to_string(w + 2) + "x" + std::to_string(h) + " — geometry mismatch, refusing to serve");
  EXPECT_THAT(fault(t.bytes, 6, w, h, {0, 1, 2, 3, 4, 6}), HasSubstr("track_order is out of range"));
  EXPECT_THAT(fault(t.bytes, 6, w, h, {0, 1, 2, 3, 4, 4}), HasSubstr("track_order is not a permutation"));
  EXPECT_THAT(fault(t.bytes, 7, w, h, identity(7)), HasSubstr("bank track decoded to 6 frames, expected 7"));
  EXPECT_THAT(fault(t.bytes, 5, w, h, identity(5)), HasSubstr("carries more frames than the sidecar's n_donors"));
  EXPECT_EQ(fault(t.bytes, 6, w, h, order, "yuv444p"),
            "reference bank track decodes to pixel format 'gbrp', the sidecar declares 'yuv444p' — pixel-format "
            "mismatch, refusing to serve");
  // A 4:2:0 track of the right size and count is not the bank its sidecar declares.
  test::TempDir dir;
  devkit::MovieOptions mo;
  mo.width = w, mo.height = h, mo.lossless = true;
  {
    devkit::MovieWriter mw(dir / "yuv.mp4", mo);
    for (int i = 0; i < 6; ++i) mw.addRgb(t.bank.donorBands.data() + size_t(i) * w * h * 3);
    mw.finish();
  }
  EXPECT_THAT(fault(test::readFile(dir / "yuv.mp4"), 6, w, h, order), HasSubstr("decodes to pixel format 'yuv420p'"));
}

TEST(TesseraBankDecode, DemoBundleMembersEndToEnd) {
  test::TempDir dir;
  devkit::DemoOptions o = devkit::DemoOptions::tiny();
  o.audio = false;
  o.tessera = true;
  devkit::writeDemoBundle(dir.path(), o);
  char err[512] = "";
  qo_tessera_members* m = qo_tessera_members_open(dir.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const devkit::DemoBank bank = devkit::demoBank(o.crop, qo_tessera_members_n_donors(m));
  EXPECT_EQ(bank.n, 32);
  EXPECT_EQ(qo_tessera_members_band_w(m), bank.w);
  EXPECT_EQ(qo_tessera_members_band_h(m), bank.h);
  EXPECT_EQ(qo_tessera_members_c_canon(m)[1], bank.c_canon[1]);
  EXPECT_EQ(qo_tessera_members_aperture(m)[31], bank.aperture[31]);
  EXPECT_EQ(HeadWeights().envelope_clamp, loadHeadPt(qo_tessera_members_head_pt(m), qo_tessera_members_head_pt_len(m))
                                              .envelope_clamp);
  EXPECT_EQ(ServeConfig::fromHeadMemberJson(qo_tessera_members_head_json(m)).K, 16);
  std::array<int32_t, 12> v;
  std::copy_n(qo_tessera_members_stamp(m), 12, v.begin());
  EXPECT_NO_THROW(GeometryStamp::fromValues(v).validate());
  EXPECT_EQ(LipContour::fromTemplateJson(qo_tessera_members_lip_template_json(m), o.crop).vertexCount(), 32);
  EXPECT_EQ(UnifiedPi::fromManifestJson(qo_tessera_members_manifest_json(m), o.crop).mode, "prop");

  const std::string track = test::readFile(qo_tessera_members_bank_track_path(m));
  const auto* bytes = reinterpret_cast<const uint8_t*>(track.data());
  const std::vector<int32_t> order(bank.track_order);
  EXPECT_TRUE(decodeBankTrack(bytes, track.size(), bank.n, bank.w, bank.h, order, qo_tessera_members_bank_pix_fmt(m)) ==
              bank.donorBands);
  // The host's other road: decode in track order, then reorder through the members handle.
  const std::vector<uint8_t> inTrack =
      decodeBankTrack(bytes, track.size(), bank.n, bank.w, bank.h, identity(bank.n), qo_tessera_members_bank_pix_fmt(m));
  std::vector<uint8_t> donor(qo_tessera_members_band_bytes(m));
  ASSERT_EQ(qo_tessera_members_reorder(m, inTrack.data(), donor.data(), err, sizeof err), 0) << err;
  EXPECT_TRUE(donor == bank.donorBands);
  qo_tessera_members_close(m);
}

}  // namespace
}  // namespace qo::tessera
