#include "render/onnx_walk.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace qo::test {

namespace {

class Walker {
 public:
  Walker(WalkStats& s, int maxDepth) : s_(s), maxDepth_(maxDepth) {}

  void model(GsSlice m) {
    each(m, [&](const GsField& f) {
      if (f.isBytes(7)) graph(f.payloadSlice());
      if (f.isBytes(8)) plain(f.payloadSlice());       // opset_import
      if (f.isBytes(14)) plain(f.payloadSlice());      // metadata_props
      if (f.isBytes(20)) function(f.payloadSlice());   // functions
    });
    const GsSlice g = gsGraphOf(m);
    if (!g.empty()) checkSameAsFirst(m, 7, g);
  }

 private:
  template <class Fn>
  void each(GsSlice msg, Fn&& fn) {
    GsReader r(msg);
    GsField f;
    while (r.next(f)) {
      ++s_.fields;
      if (f.wireType == 2 && hcPayload(f.rawSlice()).ptr != f.payload)
        throw std::logic_error("hcPayload disagrees with the reader's payload");
      if (depth_ < maxDepth_) {
        ++depth_;
        fn(f);
        --depth_;
      }
    }
  }

  void plain(GsSlice msg) {
    each(msg, [](const GsField&) {});
  }

  void checkSameAsFirst(GsSlice msg, uint32_t field, GsSlice got) {
    GsReader r(msg);
    GsField f;
    while (r.next(f))
      if (f.isBytes(field)) {
        if (f.payload != got.ptr || f.payloadLen != got.len) throw std::logic_error("gsGraphOf is not the first graph");
        return;
      }
  }

  void graph(GsSlice g) {
    ++s_.graphs;
    each(g, [&](const GsField& f) {
      switch (f.isBytes(f.number) ? f.number : 0) {
        case 1: node(f.payloadSlice()); break;
        case 5: tensor(f.payloadSlice()); break;
        case 11: case 12: case 13: valueInfo(f.payloadSlice()); break;
        case 14: plain(f.payloadSlice()); break;  // quantization_annotation
        case 15: sparseTensor(f.payloadSlice()); break;
        default: break;
      }
    });
  }

  void function(GsSlice fn) {
    each(fn, [&](const GsField& f) {
      if (f.isBytes(7)) node(f.payloadSlice());
      if (f.isBytes(9)) plain(f.payloadSlice());
      if (f.isBytes(11)) attribute(f.payloadSlice());
      if (f.isBytes(12)) valueInfo(f.payloadSlice());
    });
  }

  void node(GsSlice n) {
    ++s_.nodes;
    std::vector<std::string> inputs, outputs;
    gsAllStr(n, 1, inputs);
    gsAllStr(n, 2, outputs);
    const std::string opType = gsFirstStr(n, 4);
    (void)gsFirstStr(n, 3);
    (void)gsFirstStr(n, 7);
    (void)hcReadAttrs(n);
    const GsSlice value = hcConstValue(n);
    if (!value.empty()) tensor(value);
    each(n, [&](const GsField& f) {
      if (f.isBytes(5)) attribute(f.payloadSlice());
    });
  }

  void attribute(GsSlice a) {
    ++s_.attributes;
    each(a, [&](const GsField& f) {
      switch (f.isBytes(f.number) ? f.number : 0) {
        case 5: case 10: tensor(f.payloadSlice()); break;
        case 6: case 11: graph(f.payloadSlice()); break;
        case 14: case 15: type(f.payloadSlice()); break;
        case 22: case 23: sparseTensor(f.payloadSlice()); break;
        default: break;
      }
    });
  }

  void tensor(GsSlice t) {
    ++s_.tensors;
    std::vector<int64_t> dims;
    hcTensorDims(t, dims);
    std::vector<float> values;
    if (hcTensorFloats(t, values)) ++s_.floatTensors;
    each(t, [&](const GsField& f) {
      if (f.isBytes(3) || f.isBytes(13)) plain(f.payloadSlice());  // segment, external_data
    });
  }

  void sparseTensor(GsSlice st) {
    each(st, [&](const GsField& f) {
      if (f.isBytes(1) || f.isBytes(2)) tensor(f.payloadSlice());
    });
  }

  void valueInfo(GsSlice vi) {
    ++s_.valueInfos;
    each(vi, [&](const GsField& f) {
      if (f.isBytes(2)) type(f.payloadSlice());
    });
  }

  void type(GsSlice tp) {
    each(tp, [&](const GsField& f) {
      switch (f.isBytes(f.number) ? f.number : 0) {
        case 1: case 8: tensorType(f.payloadSlice()); break;  // tensor_type, sparse_tensor_type
        case 4: case 9: elemHolder(f.payloadSlice()); break;  // sequence_type, optional_type
        case 5: mapType(f.payloadSlice()); break;
        default: break;
      }
    });
  }

  void elemHolder(GsSlice m) {
    each(m, [&](const GsField& f) {
      if (f.isBytes(1)) type(f.payloadSlice());
    });
  }

  void mapType(GsSlice m) {
    each(m, [&](const GsField& f) {
      if (f.isBytes(2)) type(f.payloadSlice());
    });
  }

  void tensorType(GsSlice tt) {
    each(tt, [&](const GsField& f) {
      if (f.isBytes(2))
        each(f.payloadSlice(), [&](const GsField& dim) {
          if (dim.isBytes(1)) plain(dim.payloadSlice());
        });
    });
  }

  WalkStats& s_;
  int maxDepth_;
  int depth_ = 0;
};

}  // namespace

WalkStats walkModel(GsSlice model, int maxDepth) {
  WalkStats s;
  Walker(s, maxDepth).model(model);
  return s;
}

}  // namespace qo::test

namespace qo::test {

std::vector<uint8_t> expectedEmptyRebuild(GsSlice model) {
  std::vector<uint8_t> out;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(7)) {
      out.insert(out.end(), f.raw, f.raw + f.rawLen);
      continue;
    }
    out.push_back(0x3a);
    for (uint64_t n = f.payloadLen; ; n >>= 7) {
      out.push_back(uint8_t((n & 0x7f) | (n > 0x7f ? 0x80 : 0)));
      if (n <= 0x7f) break;
    }
    out.insert(out.end(), f.payload, f.payload + f.payloadLen);
  }
  return out;
}

}  // namespace qo::test
