// Geometry stamp coherence and the head-config serve settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"

namespace qo::tessera {
namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// 64x64 canvas, 32x16 window at (16, 40), band rows [4, 12), cols [4, 28).
GeometryStamp goodStamp() {
  return GeometryStamp::fromValues({64, 64, 16, 40, 32, 16, 2, 4, 12, 4, 28, 2});
}

std::string incoherence(const GeometryStamp& s) {
  try {
    s.validate();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraGeometry, ValidateListsEveryBrokenRule) {
  EXPECT_EQ(incoherence(goodStamp()), "");
  EXPECT_EQ(goodStamp().bandW(), 28);
  EXPECT_EQ(goodStamp().bandH(), 12);
  GeometryStamp s = goodStamp();
  s.window_w = 0;
  EXPECT_EQ(incoherence(s),
            "teeth: GeometryStamp incoherent: window dims must be positive; band cols escape window; stored band "
            "cols escape patch;");
  s = goodStamp();
  s.shift_margin = 0, s.pad = 1;
  EXPECT_EQ(incoherence(s), "");
  s.pad = 0;
  EXPECT_THAT(incoherence(s), HasSubstr("pad/shift_margin must be positive"));
  // Band touching the window's bottom edge with margin == pad is coherent; one more is not.
  s = goodStamp();
  s.band_r1 = 16;
  EXPECT_EQ(incoherence(s), "");
  s.shift_margin = 3;
  EXPECT_EQ(incoherence(s), "teeth: GeometryStamp incoherent: stored band rows escape patch;");
  // Sums near the int32 limits do not wrap into a coherent stamp.
  s = goodStamp();
  s.window_x0 = 2147483647;
  EXPECT_THAT(incoherence(s), HasSubstr("window x-range escapes canvas"));
}

TEST(TesseraGeometry, StampFromJsonAndText) {
  const std::string text =
      "{\"canvas_w\": 64, \"canvas_h\": 64, \"window_x0\": 16, \"window_y0\": 40, \"window_w\": 32.9, "
      "\"window_h\": 16, \"pad\": 2, \"band_r0\": 4, \"band_r1\": 12, \"band_c0\": 4, \"band_c1\": 28, "
      "\"shift_margin\": 2}";
  const GeometryStamp s = GeometryStamp::fromJson(json::parseJson(text, "g"), "g.geometry");
  EXPECT_TRUE(s == goodStamp());
  EXPECT_EQ(s.text().substr(0, 40), "{canvas_w=64, canvas_h=64, window_x0=16,");
  std::string nan = text;
  nan.replace(nan.find("32.9"), 4, "1e10");
  EXPECT_THAT([&] { GeometryStamp::fromJson(json::parseJson(nan, "g"), "g.geometry"); },
              ThrowsMessage<std::runtime_error>(HasSubstr("teeth: g.geometry has a bad numeric 'window_w'")));
  std::string missing = text;
  missing.replace(missing.find("\"pad\""), 5, "\"pod\"");
  EXPECT_THAT([&] { GeometryStamp::fromJson(json::parseJson(missing, "g"), "g.geometry"); },
              ThrowsMessage<std::runtime_error>(HasSubstr("teeth: g.geometry lacks numeric 'pad'")));
}

std::string head(const std::string& retrieval, const std::string& rest = ", \"temporal\": {\"hysteresis\": 4, "
                                                                        "\"lookahead\": 2}") {
  return "{\"retrieval\": {" + retrieval + "}" + rest + "}";
}

const std::string kRet = "\"kshort\": 256, \"aperture_tol\": 0.25, \"cut\": 48.7, \"K\": 32";

TEST(TesseraGeometry, ServeConfigReadsAndRefuses) {
  const ServeConfig c = ServeConfig::fromHeadMemberJson(head(kRet));
  EXPECT_EQ(c.kshort, 256);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 48);
  EXPECT_EQ(c.K, 32);
  EXPECT_EQ(c.hysteresis, 4);
  EXPECT_EQ(c.lookahead, 2);
  EXPECT_EQ(c.luma_floor, 100.0);
  auto fault = [](const std::string& text) {
    try {
      ServeConfig::fromHeadMemberJson(text);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_THAT(fault(head(kRet, "")), HasSubstr("lacks the retrieval/temporal blocks of the v1 schema"));
  EXPECT_THAT(fault(head(kRet, ", \"temporal\": 3")), HasSubstr("(W3-01)"));
  EXPECT_EQ(fault(head("\"kshort\": 256, \"aperture_tol\": 0.25, \"cut\": 48")),
            "teeth: member JSON lacks key 'K'");
  for (const char* r : {"\"kshort\": 0, \"aperture_tol\": 0.25, \"cut\": 48, \"K\": 32",
                        "\"kshort\": 256, \"aperture_tol\": 0.25, \"cut\": -3, \"K\": 32",
                        "\"kshort\": 256, \"aperture_tol\": 0.25, \"cut\": 48, \"K\": 0.5",
                        "\"kshort\": 256, \"aperture_tol\": 0.25, \"cut\": 48, \"K\": \"many\""})
    EXPECT_THAT(fault(head(r)), HasSubstr("must be at least 1")) << r;
  EXPECT_THAT(fault(head("\"kshort\": 1e12, \"aperture_tol\": 0.25, \"cut\": 48, \"K\": 32")),
              HasSubstr("bad retrieval.kshort"));
  EXPECT_THAT(fault(head(kRet, ", \"temporal\": {\"hysteresis\": -1, \"lookahead\": 2}")),
              HasSubstr("bad temporal.hysteresis=-1"));
  const std::string t = ", \"temporal\": {\"hysteresis\": 4, \"lookahead\": 2}";
  EXPECT_EQ(fault(head(kRet, t + ", \"decode\": {\"envelope_clamp_255\": 12.0000005}")), "");
  EXPECT_EQ(fault(head(kRet, t + ", \"decode\": {}")), "");
  EXPECT_THAT(fault(head(kRet, t + ", \"decode\": {\"envelope_clamp_255\": 12.1}")),
              HasSubstr("envelope_clamp_255 != the envelope of record"));
  EXPECT_THAT(fault("{\"retrieval\": {"), HasSubstr("teeth: "));
}

}  // namespace
}  // namespace qo::tessera
