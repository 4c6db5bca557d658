// The field reader and the message readers, on hand-encoded bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"
#include "render/wire_bytes.h"

namespace qo {
namespace {

using test::pb::Bytes;
using test::pb::cat;
using test::pb::fixed32;
using test::pb::floats;
using test::pb::len;
using test::pb::str;
using test::pb::tag;
using test::pb::varint;
using test::pb::vint;
using ::testing::ElementsAre;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// Every field of `b`; rethrows the reader's error.
std::vector<GsField> fieldsOf(const Bytes& b) {
  std::vector<GsField> out;
  GsReader r(b);
  GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

std::string errorOf(const Bytes& b) {
  try {
    fieldsOf(b);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

Bytes repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }

TEST(wireReader, VarintsUpToTenBytesDecodeAndAnEleventhThrows) {
  // UINT64_MAX takes exactly ten bytes: nine full ones and a final 0x01.
  const Bytes ten = cat({{0x08}, repeat(0xff, 9), {0x01}});
  auto f = fieldsOf(ten);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].varint, kMax);
  EXPECT_EQ(f[0].rawLen, 11u);

  // 2^63 sets only the one bit the tenth byte can hold.
  f = fieldsOf(cat({{0x08}, repeat(0x80, 9), {0x01}}));
  EXPECT_EQ(f.at(0).varint, uint64_t(1) << 63);

  EXPECT_EQ(errorOf(cat({{0x08}, repeat(0xff, 10), {0x01}})), "onnx: bad varint");
  EXPECT_EQ(errorOf(cat({{0x08}, repeat(0x80, 10), {0x00}})), "onnx: bad varint");
}

TEST(wireReader, TagsFollowTheSameVarintLimit) {
  // A non-minimal ten-byte tag for field 1, wire type 0, then the value 5.
  const Bytes tenByteTag = cat({{0x88}, repeat(0x80, 8), {0x00}, {0x05}});
  auto f = fieldsOf(tenByteTag);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].number, 1u);
  EXPECT_EQ(f[0].wireType, 0u);
  EXPECT_EQ(f[0].varint, 5u);
  EXPECT_EQ(f[0].rawLen, tenByteTag.size());

  EXPECT_EQ(errorOf(cat({{0x88}, repeat(0x80, 9), {0x00}, {0x05}})), "onnx: bad varint");
  EXPECT_EQ(errorOf({0x80}), "onnx: bad varint");        // slice ends inside the tag
  EXPECT_EQ(errorOf({0x08, 0x80}), "onnx: bad varint");  // ... and inside the value
  EXPECT_EQ(errorOf({0x0a, 0xff}), "onnx: bad varint");  // ... and inside a length
}

TEST(wireReader, FieldNumbersWireTypesAndRanges) {
  const Bytes b = cat({vint(20, 300), len(3, "abc"), fixed32(4, 1.5f), tag(5, 1), repeat(0x11, 8)});
  const auto f = fieldsOf(b);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].number, 20u);
  EXPECT_EQ(f[0].varint, 300u);
  EXPECT_EQ(f[0].raw, b.data());
  EXPECT_EQ(f[0].rawLen, 4u);  // two-byte tag, two-byte value

  EXPECT_EQ(f[1].number, 3u);
  EXPECT_EQ(f[1].wireType, 2u);
  EXPECT_EQ(std::string(f[1].payloadSlice().view()), "abc");
  EXPECT_EQ(f[1].payload, b.data() + 6);
  EXPECT_EQ(f[1].raw, b.data() + 4);
  EXPECT_EQ(f[1].rawLen, 5u);

  EXPECT_EQ(f[2].wireType, 5u);
  EXPECT_EQ(f[2].rawLen, 5u);
  EXPECT_EQ(f[2].payload, nullptr);
  EXPECT_EQ(f[3].wireType, 1u);
  EXPECT_EQ(f[3].rawLen, 9u);
  EXPECT_EQ(f[3].raw + f[3].rawLen, b.data() + b.size());

  GsReader empty(GsSlice{});
  GsField none;
  EXPECT_FALSE(empty.next(none));
}

TEST(wireReader, PayloadsPastTheEndAreTruncated) {
  EXPECT_EQ(errorOf({0x0a, 0x05, 'a', 'b', 'c'}), "onnx: truncated");
  // As the last field, after a good one.
  EXPECT_EQ(errorOf(cat({vint(1, 1), len(2, "ok"), {0x1a, 0x02, 'x'}})), "onnx: truncated");
  // Exactly the bytes left is fine; one more is not.
  EXPECT_EQ(fieldsOf({0x0a, 0x03, 'a', 'b', 'c'}).size(), 1u);
  EXPECT_EQ(errorOf({0x0a, 0x04, 'a', 'b', 'c'}), "onnx: truncated");

  // Lengths near 2^64 would wrap a pointer sum back inside the buffer.
  for (uint64_t huge : {kMax, kMax - 1, kMax - 2, uint64_t(1) << 63, uint64_t(1) << 32}) {
    SCOPED_TRACE(huge);
    EXPECT_EQ(errorOf(cat({{0x0a}, varint(huge), str("abc")})), "onnx: truncated");
    EXPECT_EQ(errorOf(cat({len(1, "a"), {0x12}, varint(huge)})), "onnx: truncated");
  }

  EXPECT_EQ(errorOf(cat({{0x09}, repeat(0, 7)})), "onnx: truncated");  // fixed64
  EXPECT_EQ(errorOf(cat({{0x0d}, repeat(0, 3)})), "onnx: truncated");  // fixed32
}

TEST(wireReader, GroupsAndUndefinedWireTypesAreRefused) {
  for (uint8_t wire : {3, 4, 6, 7}) {
    SCOPED_TRACE(int(wire));
    EXPECT_EQ(errorOf(cat({tag(1, wire), {0x00}})), "onnx: bad wire type");
    EXPECT_EQ(errorOf(cat({vint(1, 7), tag(9, wire)})), "onnx: bad wire type");
  }
}

TEST(wireReader, GraphAndStringLookups) {
  const Bytes graph1 = len(2, "g1");
  const Bytes model = cat({vint(1, 8), vint(7, 5) /* not a message */, len(7, graph1), len(7, len(2, "g2"))});
  const GsSlice g = gsGraphOf(model);
  ASSERT_EQ(g.len, graph1.size());
  EXPECT_EQ(Bytes(g.ptr, g.ptr + g.len), graph1);
  EXPECT_TRUE(gsGraphOf(cat({vint(1, 8), len(8, "x")})).empty());

  const Bytes node = cat({len(1, "a"), vint(1, 9), len(1, "b"), len(2, "y"), len(1, ""), len(4, "Add")});
  EXPECT_EQ(gsFirstStr(node, 4), "Add");
  EXPECT_EQ(gsFirstStr(node, 1), "a");
  EXPECT_EQ(gsFirstStr(node, 3), "");
  std::vector<std::string> inputs{"kept"};
  gsAllStr(node, 1, inputs);
  EXPECT_THAT(inputs, ElementsAre("kept", "a", "b", ""));

  EXPECT_EQ(std::string(hcPayload(cat({len(1, "hi"), vint(2, 1)})).view()), "hi");
  EXPECT_TRUE(hcPayload(cat({vint(1, 1), len(2, "hi")})).empty());
  EXPECT_TRUE(hcPayload(GsSlice{}).empty());
}

TEST(wireReader, DimsPackedOrNotDecodeTheSame) {
  const Bytes unpacked = cat({vint(1, 1), vint(1, 12), vint(1, 512), vint(1, 512), vint(2, 1)});
  const Bytes packed = cat({vint(2, 1), len(1, cat({varint(1), varint(12), varint(512), varint(512)}))});
  const Bytes mixed = cat({vint(1, 1), len(1, cat({varint(12), varint(512)})), vint(1, 512)});
  std::vector<int64_t> a{99}, b, c;
  hcTensorDims(unpacked, a);
  hcTensorDims(packed, b);
  hcTensorDims(mixed, c);
  EXPECT_THAT(a, ElementsAre(1, 12, 512, 512));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);

  hcTensorDims(cat({vint(1, uint64_t(-1)), vint(1, 3)}), a);
  EXPECT_THAT(a, ElementsAre(-1, 3));

  EXPECT_THROW(hcTensorDims(len(1, Bytes{0x01, 0x80}), a), std::runtime_error);
}

TEST(wireReader, TensorFloatsFromEveryEncoding) {
  const Bytes f32 = vint(2, 1);
  std::vector<float> v;

  EXPECT_TRUE(hcTensorFloats(cat({vint(1, 2), f32, len(4, floats({1.5f, -2.f}))}), v));
  EXPECT_THAT(v, ElementsAre(1.5f, -2.f));
  EXPECT_TRUE(hcTensorFloats(cat({f32, fixed32(4, 1.5f), fixed32(4, -2.f)}), v));
  EXPECT_THAT(v, ElementsAre(1.5f, -2.f));
  EXPECT_TRUE(hcTensorFloats(cat({f32, fixed32(4, 1.f), len(4, floats({2.f, 3.f})), fixed32(4, 4.f)}), v));
  EXPECT_THAT(v, ElementsAre(1.f, 2.f, 3.f, 4.f));

  // raw_data replaces float_data wherever it stands.
  EXPECT_TRUE(hcTensorFloats(cat({f32, len(4, floats({1.f, 2.f})), len(9, floats({7.f}))}), v));
  EXPECT_THAT(v, ElementsAre(7.f));
  EXPECT_TRUE(hcTensorFloats(cat({len(9, floats({7.f, 8.f})), fixed32(4, 1.f), f32}), v));
  EXPECT_THAT(v, ElementsAre(7.f, 8.f));

  // Partial trailing floats are not data.
  Bytes six = floats({5.f});
  six.insert(six.end(), {0xaa, 0xbb});
  EXPECT_TRUE(hcTensorFloats(cat({f32, len(9, six)}), v));
  EXPECT_THAT(v, ElementsAre(5.f));
  Bytes nine = floats({5.f, 6.f});
  nine.push_back(0xcc);
  EXPECT_TRUE(hcTensorFloats(cat({f32, len(4, nine)}), v));
  EXPECT_THAT(v, ElementsAre(5.f, 6.f));

  // Not float data at all.
  EXPECT_FALSE(hcTensorFloats(cat({f32, len(4, floats({1.f})), len(9, Bytes{1, 2, 3})}), v));
  EXPECT_TRUE(v.empty());
  EXPECT_FALSE(hcTensorFloats(cat({f32, len(9, Bytes{})}), v));
  EXPECT_FALSE(hcTensorFloats(cat({vint(2, 7), len(9, floats({1.f}))}), v));
  EXPECT_FALSE(hcTensorFloats(len(9, floats({1.f})), v));  // no data_type
  EXPECT_FALSE(hcTensorFloats(cat({vint(1, 0), f32}), v));  // no values
}

// An AttributeProto field of a node.
Bytes attr(std::initializer_list<Bytes> fields) { return len(5, cat(fields)); }

TEST(wireReader, ConstValueIsTheFirstValueAttributeWithATensor) {
  const Bytes t1 = cat({vint(2, 1), len(9, floats({1.f}))});
  const Bytes t2 = cat({vint(2, 1), len(9, floats({2.f}))});
  const Bytes t3 = cat({vint(2, 1), len(9, floats({3.f}))});
  const Bytes node = cat({len(2, "c"), len(4, "Constant"),
                          attr({len(1, "value_float"), fixed32(2, 9.f), len(5, t3)}),
                          attr({len(1, "value"), len(4, "no tensor here")}),
                          attr({len(5, t1), len(1, "value"), len(5, t2)}),  // last t of the attribute
                          attr({len(1, "value"), len(5, t3)})});
  const GsSlice v = hcConstValue(node);
  ASSERT_EQ(v.len, t2.size());
  EXPECT_EQ(Bytes(v.ptr, v.ptr + v.len), t2);
  EXPECT_GE(v.ptr, node.data());
  EXPECT_LE(v.ptr + v.len, node.data() + node.size());

  EXPECT_TRUE(hcConstValue(cat({len(4, "Constant"), attr({len(1, "values"), len(5, t1)})})).empty());
  EXPECT_TRUE(hcConstValue(cat({len(4, "Constant")})).empty());
}

TEST(wireReader, ResizeAttributes) {
  const Bytes node = cat({len(1, "x"), len(1, ""), len(1, "scales"), len(2, "y"), len(4, "Resize"),
                          attr({len(1, "mode"), len(4, "cubic"), vint(20, 3)}),
                          attr({len(1, "coordinate_transformation_mode"), len(4, "half_pixel")}),
                          attr({len(1, "keep_aspect_ratio_policy"), len(4, "stretch")}),
                          attr({len(1, "cubic_coeff_a"), fixed32(2, -0.5f), vint(20, 1)}),
                          attr({len(1, "antialias"), vint(3, 0)}),
                          attr({len(1, "exclude_outside"), vint(3, 1)}),
                          attr({len(1, "axes"), vint(8, 2), vint(8, 3)})});
  const HcAttrs a = hcReadAttrs(node);
  EXPECT_EQ(a.mode, "cubic");
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(a.keepAspectRatioPolicy, "stretch");
  EXPECT_TRUE(a.hasCubicCoeffA);
  EXPECT_EQ(a.cubicCoeffA, -0.5f);
  EXPECT_FALSE(a.antialias);
  EXPECT_TRUE(a.excludeOutside);
  EXPECT_TRUE(a.hasAxes);

  const HcAttrs none = hcReadAttrs(cat({len(4, "Resize"), attr({len(1, "modes"), len(4, "nearest")})}));
  EXPECT_EQ(none.mode, "");
  EXPECT_EQ(none.coordinateTransformationMode, "");
  EXPECT_EQ(none.keepAspectRatioPolicy, "");
  EXPECT_FALSE(none.hasCubicCoeffA);
  EXPECT_EQ(none.cubicCoeffA, -0.75f);
  EXPECT_FALSE(none.antialias);
  EXPECT_FALSE(none.excludeOutside);
  EXPECT_FALSE(none.hasAxes);

  const HcAttrs other = hcReadAttrs(cat({attr({len(1, "antialias"), vint(3, 2)}),
                                         attr({len(1, "axes"), len(8, cat({varint(2), varint(3)}))})}));
  EXPECT_TRUE(other.antialias);
  EXPECT_TRUE(other.hasAxes);  // packed ints count too

  EXPECT_THROW(hcReadAttrs(cat({len(4, "Resize"), attr({len(1, "mode"), {0x22, 0x09, 'c'}})})),
               std::runtime_error);
}

}  // namespace
}  // namespace qo
