#include "tools/devkit/onnx_model_builder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "render/qo_onnx_wire.h"

namespace qo::onnx {

namespace {

// onnx.proto field numbers.
constexpr uint32_t kModelIrVersion = 1, kModelProducerName = 2, kModelProducerVersion = 3, kModelGraph = 7,
                   kModelOpsetImport = 8, kModelMetadata = 14;
constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
constexpr uint32_t kGraphNode = 1, kGraphName = 2, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12,
                   kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttribute = 5,
                   kNodeDomain = 7;
constexpr uint32_t kEntryKey = 1, kEntryValue = 2;

void putVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  gsPutVarint(out, uint64_t(field) << 3);
  gsPutVarint(out, v);
}

}  // namespace

ModelBuilder::ModelBuilder() { opsets_.emplace_back("", 17); }

ModelBuilder& ModelBuilder::irVersion(int64_t v) {
  irVersion_ = v;
  return *this;
}

ModelBuilder& ModelBuilder::opset(const std::string& domain, int64_t version) {
  for (auto& [d, v] : opsets_)
    if (d == domain) {
      v = version;
      return *this;
    }
  opsets_.emplace_back(domain, version);
  return *this;
}

ModelBuilder& ModelBuilder::graphName(std::string name) {
  graphName_ = std::move(name);
  return *this;
}

ModelBuilder& ModelBuilder::producer(std::string name, std::string version) {
  producerName_ = std::move(name);
  producerVersion_ = std::move(version);
  return *this;
}

ModelBuilder& ModelBuilder::metadata(std::string key, std::string value) {
  metadata_.emplace_back(std::move(key), std::move(value));
  return *this;
}

std::string ModelBuilder::input(const std::string& name, ElemType type, const Shape& shape) {
  gsPutBytes(inputs_, kGraphInput, encodeTensorValueInfo(name, type, &shape));
  return name;
}

std::string ModelBuilder::input(const std::string& name, ElemType type) {
  gsPutBytes(inputs_, kGraphInput, encodeTensorValueInfo(name, type, nullptr));
  return name;
}

std::string ModelBuilder::output(const std::string& name, ElemType type, const Shape& shape) {
  gsPutBytes(outputs_, kGraphOutput, encodeTensorValueInfo(name, type, &shape));
  return name;
}

std::string ModelBuilder::output(const std::string& name, ElemType type) {
  gsPutBytes(outputs_, kGraphOutput, encodeTensorValueInfo(name, type, nullptr));
  return name;
}

void ModelBuilder::valueInfo(const std::string& name, ElemType type, const Shape& shape) {
  gsPutBytes(valueInfo_, kGraphValueInfo, encodeTensorValueInfo(name, type, &shape));
}

std::string ModelBuilder::initializer(const std::string& name, const Tensor& t) {
  gsPutBytes(initializers_, kGraphInitializer, encodeTensor(name, t));
  return name;
}

std::string ModelBuilder::constant(const std::string& output, const Tensor& t, const NodeOpts& opts) {
  return node("Constant", {}, {output}, {attrTensor("value", t)}, opts);
}

std::string ModelBuilder::node(const std::string& opType, const std::vector<std::string>& inputs,
                               const std::vector<std::string>& outputs, const std::vector<Attr>& attrs,
                               const NodeOpts& opts) {
  std::vector<uint8_t> n;
  for (const std::string& in : inputs) gsPutBytes(n, kNodeInput, in);
  for (const std::string& out : outputs) gsPutBytes(n, kNodeOutput, out);
  if (!opts.name.empty()) gsPutBytes(n, kNodeName, opts.name);
  gsPutBytes(n, kNodeOpType, opType);
  for (const Attr& a : attrs) gsPutBytes(n, kNodeAttribute, a.bytes);
  if (!opts.domain.empty()) gsPutBytes(n, kNodeDomain, opts.domain);
  gsPutBytes(nodes_, kGraphNode, n);
  return outputs.empty() ? std::string() : outputs.front();
}

std::vector<uint8_t> ModelBuilder::bytes() const {
  std::vector<uint8_t> graph;
  graph.reserve(nodes_.size() + initializers_.size() + inputs_.size() + outputs_.size() + valueInfo_.size() +
                graphName_.size() + 16);
  gsPutRaw(graph, nodes_);
  gsPutBytes(graph, kGraphName, graphName_);
  gsPutRaw(graph, initializers_);
  gsPutRaw(graph, inputs_);
  gsPutRaw(graph, outputs_);
  gsPutRaw(graph, valueInfo_);

  std::vector<uint8_t> model;
  model.reserve(graph.size() + 256);
  putVarintField(model, kModelIrVersion, uint64_t(irVersion_));
  if (!producerName_.empty()) gsPutBytes(model, kModelProducerName, producerName_);
  if (!producerVersion_.empty()) gsPutBytes(model, kModelProducerVersion, producerVersion_);
  gsPutBytes(model, kModelGraph, graph);
  for (const auto& [domain, version] : opsets_) {
    std::vector<uint8_t> op;
    gsPutBytes(op, kOpsetDomain, domain);
    putVarintField(op, kOpsetVersion, uint64_t(version));
    gsPutBytes(model, kModelOpsetImport, op);
  }
  for (const auto& [key, value] : metadata_) {
    std::vector<uint8_t> entry;
    gsPutBytes(entry, kEntryKey, key);
    gsPutBytes(entry, kEntryValue, value);
    gsPutBytes(model, kModelMetadata, entry);
  }
  return model;
}

void ModelBuilder::save(const std::string& path) const {
  const std::vector<uint8_t> b = bytes();
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!f) throw std::runtime_error("onnx model: cannot create " + path + ": " + std::strerror(errno));
  const bool wrote = std::fwrite(b.data(), 1, b.size(), f.get()) == b.size();
  if (!wrote || std::fclose(f.release()) != 0)
    throw std::runtime_error("onnx model: cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace qo::onnx
