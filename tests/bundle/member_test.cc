#include <gtest/gtest.h>

#include "bundle/qo_bundle.h"
#include "support/test_support.h"

namespace qo {
namespace {

using test::TempDir;
using test::writeFile;

TEST(LegacyNames, Table) {
  EXPECT_EQ(legacyMemberName("P.f16"), "source_frames.f16");
  EXPECT_EQ(legacyMemberName("P_hevc.mov"), "source_frames.hevc");
  EXPECT_EQ(legacyMemberName("a2x_enc_stream.onnx"), "audio_motion_encoder.onnx");
  EXPECT_EQ(legacyMemberName("a2x_dec.onnx"), "audio_motion_decoder.onnx");
  EXPECT_EQ(legacyMemberName("M.f32"), "paste_transform.f32");
  EXPECT_EQ(legacyMemberName("mask_512.u8"), "paste_mask.u8");
  EXPECT_EQ(legacyMemberName("pooled64.f16"), "pooled_features.f16");
  EXPECT_EQ(legacyMemberName("fs_red.f16"), "feature_synth.f16");
  EXPECT_EQ(legacyMemberName("xs_target.bin"), "target_keypoints.bin");
}

TEST(LegacyNames, DirectorModels) {
  EXPECT_EQ(legacyMemberName("model_b8.onnx"), "render_model.batch8.onnx");
  EXPECT_EQ(legacyMemberName("model_b8_int8.onnx"), "render_model.batch8.int8.onnx");
  EXPECT_EQ(legacyMemberName("model_b1_a_b.onnx"), "render_model.batch1.a_b.onnx");  // split at the first '_'
  EXPECT_EQ(legacyMemberName("model_b.onnx"), "model_b.onnx");                        // S empty: no legacy name
  EXPECT_EQ(legacyMemberName("model_x.onnx"), "model_x.onnx");
}

TEST(LegacyNames, DriveTables) {
  EXPECT_EQ(legacyMemberName("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(legacyMemberName("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(legacyMemberName("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(legacyMemberName("drive/other.tar.gz"), "idle_loop/other.tar.gz");  // split at the first '.'
  EXPECT_EQ(legacyMemberName("drive/xs"), "idle_loop/source_keypoints");
  EXPECT_EQ(legacyMemberName("manifest.json"), "manifest.json");
}

TEST(ResolveMember, CurrentWinsThenLegacyThenCurrentPath) {
  TempDir t;
  const std::string d = t.path();
  EXPECT_EQ(resolveMember(d, "drive/si.i32"), d + "/drive/si.i32");  // neither exists
  writeFile(d + "/idle_loop/source_index.i32", "legacy");
  EXPECT_EQ(resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  writeFile(d + "/drive/si.i32", "current");
  EXPECT_EQ(resolveMember(d, "drive/si.i32"), d + "/drive/si.i32");
  // Without a legacy name the path is returned without probing.
  EXPECT_EQ(resolveMember(d, "nothing.bin"), d + "/nothing.bin");
}

}  // namespace
}  // namespace qo
