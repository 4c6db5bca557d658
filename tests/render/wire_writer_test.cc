// The minimal encoders, against bytes worked out by hand from the protobuf encoding rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The single field of `b`, which must hold exactly one.
GsField onlyField(const Bytes& b) {
  GsReader r(b);
  GsField f;
  EXPECT_TRUE(r.next(f));
  GsField extra;
  EXPECT_FALSE(r.next(extra));
  return f;
}

std::vector<GsField> fieldsOf(GsSlice s) {
  std::vector<GsField> out;
  GsReader r(s);
  GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

TEST(wireWriter, VarintBytes) {
  auto enc = [](uint64_t v) {
    Bytes b;
    gsPutVarint(b, v);
    return b;
  };
  EXPECT_EQ(enc(0), Bytes({0x00}));
  EXPECT_EQ(enc(1), Bytes({0x01}));
  EXPECT_EQ(enc(127), Bytes({0x7f}));
  EXPECT_EQ(enc(128), Bytes({0x80, 0x01}));
  EXPECT_EQ(enc(300), Bytes({0xac, 0x02}));
  EXPECT_EQ(enc(16384), Bytes({0x80, 0x80, 0x01}));
  EXPECT_EQ(enc(uint64_t(1) << 63), Bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}));
  EXPECT_EQ(enc(std::numeric_limits<uint64_t>::max()),
            Bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));

  // Whatever the writer emits, the reader takes back.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const uint64_t v = rng() >> (rng() % 64);
    const Bytes b = Bytes({0x08}) + enc(v);
    EXPECT_EQ(onlyField(b).varint, v);
  }
}

TEST(wireWriter, LengthDelimitedAndRawFields) {
  Bytes b;
  gsPutBytes(b, 1, std::string_view("hi"));
  EXPECT_EQ(b, Bytes({0x0a, 0x02, 'h', 'i'}));
  b.clear();
  gsPutBytes(b, 16, std::string_view());
  EXPECT_EQ(b, Bytes({0x82, 0x01, 0x00}));
  b.clear();
  const Bytes big(200, 0x5a);
  gsPutBytes(b, 2, big);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 3), Bytes({0x12, 0xc8, 0x01}));
  EXPECT_EQ(b.size(), 203u);

  Bytes raw{0x01};
  gsPutRaw(raw, Bytes({0x0a, 0x85, 0x00, 0x00}));  // copied even when not minimal
  EXPECT_EQ(raw, Bytes({0x01, 0x0a, 0x85, 0x00, 0x00}));
}

TEST(wireWriter, AttributeBytes) {
  Bytes b;
  hcAttrI(b, "group", 32);
  // name "group", i = 32, type (field 20: tag 0xa0 0x01) = INT (2).
  EXPECT_EQ(b, Bytes({0x2a, 0x0c}) + Bytes({0x0a, 0x05}) + ascii("group") + Bytes({0x18, 0x20, 0xa0, 0x01, 0x02}));

  b.clear();
  const int64_t pads[] = {0, 0, 2, 2};
  hcAttrIs(b, "pads", pads, 4);
  EXPECT_EQ(b, Bytes({0x2a, 0x11, 0x0a, 0x04}) + ascii("pads") +
                   Bytes({0x40, 0x00, 0x40, 0x00, 0x40, 0x02, 0x40, 0x02, 0xa0, 0x01, 0x07}));

  b.clear();
  hcAttrS(b, "edge");
  EXPECT_EQ(b, Bytes({0x2a, 0x0f, 0x0a, 0x04}) + ascii("mode") + Bytes({0x22, 0x04}) + ascii("edge") +
                   Bytes({0xa0, 0x01, 0x03}));

  // Negative ints travel as ten-byte two's complement varints.
  b.clear();
  hcAttrI(b, "axis", -1);
  const GsField attr = onlyField(b);
  const auto inner = fieldsOf(attr.payloadSlice());
  ASSERT_EQ(inner.size(), 3u);
  EXPECT_EQ(inner[1].number, 3u);
  EXPECT_EQ(int64_t(inner[1].varint), -1);
  EXPECT_EQ(inner[1].rawLen, 11u);
}

TEST(wireWriter, NodeBytes) {
  Bytes b;
  hcNode(b, "Relu", {"a"}, "b", "r", GsSlice{});
  EXPECT_EQ(b, Bytes({0x0a, 0x0f, 0x0a, 0x01, 'a', 0x12, 0x01, 'b', 0x1a, 0x01, 'r', 0x22, 0x04}) + ascii("Relu"));

  Bytes attrs;
  hcAttrI(attrs, "blocksize", 2);
  hcAttrS(attrs, "CRD");
  b.clear();
  hcNode(b, "DepthToSpace", {"x", "", "z"}, "y", "n/d2s", attrs, "com.corvanta");
  const GsField node = onlyField(b);
  EXPECT_EQ(node.number, 1u);
  const GsSlice n = node.payloadSlice();
  std::vector<std::string> in;
  gsAllStr(n, 1, in);
  EXPECT_THAT(in, ElementsAre("x", "", "z"));
  EXPECT_EQ(gsFirstStr(n, 2), "y");
  EXPECT_EQ(gsFirstStr(n, 3), "n/d2s");
  EXPECT_EQ(gsFirstStr(n, 4), "DepthToSpace");
  EXPECT_EQ(gsFirstStr(n, 7), "com.corvanta");
  const auto f = fieldsOf(n);
  std::vector<uint32_t> order;
  for (const GsField& x : f) order.push_back(x.number);
  EXPECT_THAT(order, ElementsAre(1, 1, 1, 2, 3, 4, 5, 5, 7));
  // The attribute fields are the given bytes, unchanged.
  EXPECT_EQ(Bytes(f[6].raw, f[6].raw + f[6].rawLen + f[7].rawLen), attrs);
  EXPECT_EQ(hcReadAttrs(n).mode, "CRD");
}

TEST(wireWriter, InitializerBytes) {
  const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  const Bytes raw(reinterpret_cast<const uint8_t*>(pads), reinterpret_cast<const uint8_t*>(pads) + sizeof pads);
  const int64_t dims[] = {8};
  Bytes b;
  hcInit(b, "p", 7, dims, 1, raw);
  EXPECT_EQ(b, Bytes({0x2a, 0x49, 0x08, 0x08, 0x10, 0x07, 0x42, 0x01, 'p', 0x4a, 0x40}) + raw);

  const float w[] = {0.25f, -1.f, 3.5f, 0.f, 1.f, 2.f};
  const int64_t wdims[] = {3, 1, 1, 2};
  b.clear();
  hcInit(b, "w", 1, wdims, 4, GsSlice(reinterpret_cast<const uint8_t*>(w), sizeof w));
  const GsField init = onlyField(b);
  EXPECT_EQ(init.number, 5u);
  std::vector<int64_t> gotDims;
  hcTensorDims(init.payloadSlice(), gotDims);
  EXPECT_THAT(gotDims, ElementsAre(3, 1, 1, 2));
  std::vector<float> got;
  ASSERT_TRUE(hcTensorFloats(init.payloadSlice(), got));
  EXPECT_THAT(got, ElementsAre(0.25f, -1.f, 3.5f, 0.f, 1.f, 2.f));
  EXPECT_EQ(gsFirstStr(init.payloadSlice(), 8), "w");
}

// The dims of a ValueInfoProto written by gsPutTensorValueInfo: (dim_value or -1, dim_param).
struct DeclaredDim {
  int64_t value = -1;
  std::string param;
  int fields = 0;
};

std::vector<DeclaredDim> declaredDims(const Bytes& b, uint32_t wantField, std::string& name, uint64_t& elem) {
  const GsField vi = onlyField(b);
  EXPECT_EQ(vi.number, wantField);
  name = gsFirstStr(vi.payloadSlice(), 1);
  const std::string type = gsFirstStr(vi.payloadSlice(), 2);
  const Bytes typeBytes(type.begin(), type.end());
  const std::string tensorType = gsFirstStr(typeBytes, 1);
  const Bytes tt(tensorType.begin(), tensorType.end());
  std::vector<DeclaredDim> dims;
  for (const GsField& f : fieldsOf(tt)) {
    if (f.number == 1) elem = f.varint;
    if (f.number != 2) continue;
    for (const GsField& d : fieldsOf(f.payloadSlice())) {
      EXPECT_EQ(d.number, 1u);
      DeclaredDim dd;
      for (const GsField& x : fieldsOf(d.payloadSlice())) {
        ++dd.fields;
        if (x.number == 1) dd.value = int64_t(x.varint);
        if (x.number == 2) dd.param = std::string(x.payloadSlice().view());
      }
      dims.push_back(dd);
    }
  }
  return dims;
}

TEST(wireWriter, TensorValueInfoDims) {
  Bytes b;
  const int64_t big[] = {1, 12, 512, 512};
  gsPutTensorValueInfo(b, 11, "src", big, 4);
  std::string name;
  uint64_t elem = 0;
  auto dims = declaredDims(b, 11, name, elem);
  EXPECT_EQ(name, "src");
  EXPECT_EQ(elem, 1u);
  ASSERT_EQ(dims.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(dims[i].value, big[i]);
    EXPECT_EQ(dims[i].fields, 1);
  }

  // [-1, 3]: worked out by hand, then the same through the reader.
  b.clear();
  const int64_t partial[] = {-1, 3};
  gsPutTensorValueInfo(b, 12, "x", partial, 2);
  const Bytes dim0 = Bytes({0x0a, 0x0d, 0x12, 0x0b}) + ascii("qo_hoist_d0");
  const Bytes dim1 = {0x0a, 0x02, 0x08, 0x03};
  const Bytes shape = Bytes({0x12, 0x13}) + dim0 + dim1;
  const Bytes tensorType = Bytes({0x0a, 0x17, 0x08, 0x01}) + shape;
  EXPECT_EQ(b, Bytes({0x62, 0x1e, 0x0a, 0x01, 'x', 0x12, 0x19}) + tensorType);
  dims = declaredDims(b, 12, name, elem);
  ASSERT_EQ(dims.size(), 2u);
  EXPECT_EQ(dims[0].param, "qo_hoist_d0");
  EXPECT_EQ(dims[0].fields, 1);
  EXPECT_EQ(dims[1].value, 3);

  // Zero is not a size to pin; without dims everything is symbolic, numbered by position.
  b.clear();
  const int64_t zero[] = {2, 0};
  gsPutTensorValueInfo(b, 13, "z", zero, 2);
  dims = declaredDims(b, 13, name, elem);
  ASSERT_EQ(dims.size(), 2u);
  EXPECT_EQ(dims[0].value, 2);
  EXPECT_EQ(dims[1].param, "qo_hoist_d1");
  b.clear();
  gsPutTensorValueInfo(b, 12, "t", nullptr, 3);
  dims = declaredDims(b, 12, name, elem);
  ASSERT_EQ(dims.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(dims[i].param, "qo_hoist_d" + std::to_string(i));
    EXPECT_EQ(dims[i].value, -1);
  }
}

}  // namespace
}  // namespace qo
