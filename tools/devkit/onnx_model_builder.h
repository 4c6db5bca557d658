// Writes ONNX model files for fixtures and the demo bundle, without ONNX or protobuf libraries.
//
//   qo::onnx::ModelBuilder b;
//   b.input("x", kFloat, {1, 3, "h", "w"});
//   b.initializer("w", tensorOf<float>({8, 3, 3, 3}, weights));
//   auto y = b.node("Conv", {"x", "w"}, {"y"}, {attrInts("pads", {1, 1, 1, 1})});
//   b.output(y, kFloat, {1, 8, "h", "w"});
//   b.save(path);
//
// Messages are written in field-number order; graph parts keep the order in which they were added.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/devkit/onnx_values.h"

namespace qo::onnx {

struct NodeOpts {
  std::string name = {};
  std::string domain = {};  // empty: the default domain
};

class ModelBuilder {
 public:
  // IR version 8, default-domain opset 17, graph name "graph".
  ModelBuilder();

  ModelBuilder& irVersion(int64_t v);
  // Imports `domain` ("" for the default domain) at `version`, replacing an earlier import of it.
  ModelBuilder& opset(const std::string& domain, int64_t version);
  ModelBuilder& graphName(std::string name);
  ModelBuilder& producer(std::string name, std::string version = {});
  ModelBuilder& metadata(std::string key, std::string value);

  // Graph inputs and outputs; each returns its name. Without a shape the rank is left unknown.
  std::string input(const std::string& name, ElemType type, const Shape& shape);
  std::string input(const std::string& name, ElemType type);
  std::string output(const std::string& name, ElemType type, const Shape& shape);
  std::string output(const std::string& name, ElemType type);
  void valueInfo(const std::string& name, ElemType type, const Shape& shape);

  std::string initializer(const std::string& name, const Tensor& t);
  // A Constant node producing `output` from attribute value = t.
  std::string constant(const std::string& output, const Tensor& t, const NodeOpts& opts = {});
  // Appends a node; returns its first output name ("" when it has none).
  std::string node(const std::string& opType, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs, const std::vector<Attr>& attrs = {},
                   const NodeOpts& opts = {});

  std::vector<uint8_t> bytes() const;
  void save(const std::string& path) const;  // std::runtime_error naming the path on failure

 private:
  int64_t irVersion_ = 8;
  std::vector<std::pair<std::string, int64_t>> opsets_;
  std::string graphName_ = "graph";
  std::string producerName_, producerVersion_;
  std::vector<std::pair<std::string, std::string>> metadata_;
  // Complete graph fields (tag included), by section.
  std::vector<uint8_t> nodes_, initializers_, inputs_, outputs_, valueInfo_;
};

}  // namespace qo::onnx
