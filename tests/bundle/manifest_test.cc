#include <cstring>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest_key.h"
#include "qo/qo_bundle.h"
#include "support/test_support.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace manifest_key;
using test::manifestText;
using test::TempDir;
using test::writeFile;

class ManifestTest : public ::testing::Test {
 protected:
  test::ScopedEnv noEscape{"OSTREL2_MSRC_MISSING_OK", nullptr};
  TempDir t;

  Manifest load(const std::string& text) {
    writeFile(t / "manifest.json", text);
    return loadManifest(t.path());
  }
  std::string errorOf(const std::string& text) {
    try {
      load(text);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(ManifestTest, LoadsEveryField) {
  Manifest m = load(manifestText(1920, 1080, 512, 250, "\"target_frames\": \"frames\""));
  EXPECT_EQ(m.dir, t.path());
  EXPECT_EQ(m.agent, "tester");
  EXPECT_EQ(m.NT, 250);
  EXPECT_EQ(m.W, 1920);
  EXPECT_EQ(m.H, 1080);
  EXPECT_EQ(m.crop, 512);
  EXPECT_EQ(m.M_src_w, 1920);
  EXPECT_EQ(m.M_src_h, 1080);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.3f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.0f);
  EXPECT_EQ(m.unsharp.ksize, 13);
  EXPECT_EQ(m.frames, 250);
  EXPECT_EQ(m.modelPath("b1"), t.path() + "/model_b1.onnx");
  writeFile(t / "render_model.batch4.onnx", "x");
  EXPECT_EQ(m.modelPath("b4"), t.path() + "/render_model.batch4.onnx");
}

TEST_F(ManifestTest, DefaultRecordWithoutAManifest) {
  Manifest m;
  EXPECT_EQ(m.crop, 512);
  EXPECT_EQ(m.NT, 0);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.3f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.0f);
  EXPECT_EQ(m.unsharp.ksize, 13);
}

TEST_F(ManifestTest, IntegersTruncateTowardZero) {
  Manifest m = load(manifestText(96, 64, 32, 4, "\"ksize\": 12.9, \"frames\": -2.7", {"ksize", "frames"}));
  EXPECT_EQ(m.unsharp.ksize, 12);
  EXPECT_EQ(m.frames, -2);
}

TEST_F(ManifestTest, TopLevelKeyWinsOverNestedOne) {
  Manifest m = load(manifestText(96, 64, 32, 4, "\"tessera\": {\"crop\": 128, \"NT\": 9}"));
  EXPECT_EQ(m.crop, 32);
  EXPECT_EQ(m.NT, 4);
}

TEST_F(ManifestTest, NestedOnlyKeyIsUsedWhenUnique) {
  Manifest m = load(manifestText(96, 64, 32, 4, "\"block\": {\"sigma\": 3.5}", {"sigma"}));
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 3.5f);
}

TEST_F(ManifestTest, TwoNestedScalarsAreAmbiguous) {
  const std::string text = manifestText(96, 64, 32, 4, "\"a\": {\"sigma\": 1}, \"b\": [{\"sigma\": 2}]", {"sigma"});
  const size_t first = text.find("\"sigma\": 1") + 9, second = text.find("\"sigma\": 2") + 9;
  ASSERT_EQ(text[first], '1');
  EXPECT_EQ(errorOf(text),
            "manifest: key \"sigma\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte " + std::to_string(first) +
                ", byte " + std::to_string(second) +
                "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
                "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
                "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
                "the bundle with the legacy manifest layout.");
}

TEST_F(ManifestTest, TwoTopLevelScalarsAreAmbiguousEvenWithNestedOnes) {
  const std::string text = "{\"W\": 1, \"x\": {\"W\": 2}, \"W\": 3}";
  const size_t first = text.find("1"), third = text.find("3");
  try {
    scalarValuePos(text, "W");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("manifest: key \"W\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte " +
                                     std::to_string(first) + ", byte " + std::to_string(third) + ")."));
  }
}

TEST_F(ManifestTest, ObjectOrArrayValuesAreNotScalars) {
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "\"x\": 1", {"crop"}).replace(1, 0, "\"crop\": {\"a\": 1},")),
            "manifest: missing key crop/crop_size");
  Manifest m = load(manifestText(96, 64, 32, 4, "\"crop\": [1, 2]"));  // array beside the scalar
  EXPECT_EQ(m.crop, 32);
}

TEST_F(ManifestTest, AliasesAndTheirPrecedence) {
  Manifest a = load(manifestText(96, 64, 32, 4, "\"frame_count\": 7", {"NT"}));
  EXPECT_EQ(a.NT, 7);
  Manifest b = load(manifestText(96, 64, 32, 4, "\"frame_count\": 7"));
  EXPECT_EQ(b.NT, 4);  // NT wins
  Manifest c = load(manifestText(96, 64, 32, 4, "\"crop_size\": 16", {"crop"}));
  EXPECT_EQ(c.crop, 16);
  Manifest d = load(manifestText(96, 64, 32, 4, "\"NT\": -1e300, \"frame_count\": 5", {"NT"}));
  EXPECT_EQ(d.NT, 5);  // -1e300 counts as absent
  Manifest e = load(manifestText(96, 64, 32, 4, "\"paste_source_width\": 48, \"paste_source_height\": 32",
                                 {"M_src_w", "M_src_h"}));
  EXPECT_EQ(e.M_src_w, 48);
  EXPECT_EQ(e.M_src_h, 32);
}

TEST_F(ManifestTest, MissingKeysNameTheKey) {
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "", {"NT"})), "manifest: missing key NT/frame_count");
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "", {"H"})), "manifest: missing key H");
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "", {"ksize"})), "manifest: missing key ksize");
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "", {"agent"})), "manifest: missing key agent");
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "", {"format"})), "manifest: missing key format");
}

TEST_F(ManifestTest, FormatMustBeExact) {
  std::string text = manifestText();
  text.replace(text.find("qo-bundle-v0"), 12, "qo-bundle-v1");
  EXPECT_EQ(errorOf(text), "not an qo-bundle-v0: " + t.path());
  std::string unterminated = "{\"NT\": 1, \"format\": 12}";  // no quote after the value
  EXPECT_EQ(errorOf(unterminated), "manifest: bad string format");
  EXPECT_EQ(errorOf(""), "manifest: missing key format");
}

TEST_F(ManifestTest, NoManifestFile) {
  try {
    loadManifest(t.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open " + t.path() + "/manifest.json");
  }
  ASSERT_TRUE(fs::mkdirs(t / "manifest.json"));
  try {
    loadManifest(t.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot read " + t.path() + "/manifest.json: it is a directory, not a file");
  }
}

// A string field starts at its own value: a neighbour's string is never taken for it.
TEST_F(ManifestTest, StringFieldsReadOnlyTheirOwnValue) {
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 4, "\"agent\": null, \"x\": \"demo\"", {"agent"})),
            "manifest: bad string agent");
  EXPECT_EQ(errorOf("{\"format\": 7, \"qo-bundle-v0\": 0}"), "manifest: bad string format");
  EXPECT_EQ(strField("{\"agent\" :  \"anna\", \"x\": \"y\"}", "agent"), "anna");
}

TEST_F(ManifestTest, BadDimensions) {
  EXPECT_EQ(errorOf(manifestText(96, 64, 32, 0)), "manifest: bad dims");
  EXPECT_EQ(errorOf(manifestText(96, 0, 32, 4)), "manifest: bad dims");
  EXPECT_EQ(errorOf(manifestText(96, 64, -32, 4)), "manifest: bad dims");
  // Values outside int32 (or NaN) are bad, never wrapped.
  auto with = [&](const char* key, const char* value) {
    std::string text = manifestText();
    size_t pos = text.find(std::string("\"") + key + "\": ") + std::strlen(key) + 4;
    text.replace(pos, text.find(',', pos) - pos, value);
    return errorOf(text);
  };
  EXPECT_EQ(with("W", "4294967392"), "manifest: bad dims");
  EXPECT_EQ(with("NT", "1e20"), "manifest: bad dims");
  EXPECT_EQ(with("H", "nan"), "manifest: bad dims");
  EXPECT_EQ(with("crop", "-3000000000"), "manifest: bad dims");
  EXPECT_EQ(with("ksize", "1e10"), "manifest: bad ksize");
  EXPECT_EQ(with("frames", "nan"), "manifest: bad frames");
  EXPECT_EQ(with("W", "\"wide\""), "manifest: bad dims");  // not a number: reads 0
}

TEST_F(ManifestTest, PasteSpaceStampRule) {
  const std::string partial = manifestText(96, 64, 32, 4, "", {"M_src_h"});
  const std::string refusal = t.path() +
                              "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
                              "paste_source_width/height) \xE2\x80\x94 the canvas is 96x64, so M cannot be placed: "
                              "absence is not evidence that M was authored at that size. Re-stamp the bundle "
                              "(models/ostrel-2/inference/backfill_msrc), or set OSTREL2_MSRC_MISSING_OK=1 to "
                              "restore the legacy assumption.";
  EXPECT_EQ(errorOf(partial), refusal);
  for (const char* notQuite : {"1 ", "true", "0", ""}) {
    test::ScopedEnv env("OSTREL2_MSRC_MISSING_OK", notQuite);
    EXPECT_EQ(errorOf(partial), refusal) << "value '" << notQuite << "'";
  }
  test::ScopedEnv env("OSTREL2_MSRC_MISSING_OK", "1");
  testing::internal::CaptureStderr();
  Manifest m = load(partial);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.M_src_w, 96);
  EXPECT_EQ(m.M_src_h, 64);
  EXPECT_EQ(log, "[qo] WARNING OSTREL2_MSRC_MISSING_OK=1: " + t.path() +
                     "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 96x64 canvas. If "
                     "it was not, the face pastes off-target (zq#144) and nothing will say so.\n");
}

TEST_F(ManifestTest, StampMustBePositive) {
  std::string text = manifestText();
  text.replace(text.find("\"M_src_w\": 96"), 13, "\"M_src_w\": 0");
  EXPECT_EQ(errorOf(text), "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
}

TEST(ManifestKeys, StringsAreSteppedOverWhole) {
  const std::string text = "{\"note\": \"not a key: \\\"NT\\\": 99 {\", \"NT\": 4, \"x\": \"\\\\\", \"y\": 1}";
  auto hits = keyHits(text, "NT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(text[hits[0].pos], '4');
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(keyHits(text, "y").size(), 1u);  // an escaped backslash closes its string properly
}

TEST(ManifestKeys, DepthScalarAndPositions) {
  const std::string text = "{\"k\": {\"k\": [1]}, \"a\": [{\"k\" :  \"s\"}], \"k2\": 1}";
  auto hits = keyHits(text, "k");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[2].depth, 3);
  EXPECT_TRUE(hits[2].scalar);
  EXPECT_EQ(text[hits[2].pos], '"');
  EXPECT_EQ(scalarValuePos(text, "k"), hits[2].pos);
  EXPECT_EQ(scalarValuePos(text, "absent"), kNotFound);
  EXPECT_TRUE(keyHits("{\"k\": ", "k").size() == 1 && !keyHits("{\"k\": ", "k")[0].scalar);  // nothing after ':'
  EXPECT_TRUE(keyHits("{\"unterminated", "unterminated").empty());
}

TEST(ManifestKeys, OptionalStrings) {
  std::string out = "untouched";
  EXPECT_FALSE(optStr("{\"v\": 3}", "v", out));
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(optStr("{\"v\": \"open", "v", out));
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(optStr("{}", "v", out));
  EXPECT_FALSE(optStr("{\"v\": \"\"}", "v", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(optStr("{\"v\": \"frames\"}", "v", out));
  EXPECT_EQ(out, "frames");
}

}  // namespace
}  // namespace qo
