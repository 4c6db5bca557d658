#include "bundle/qo_raw.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qo {

template <class T>
std::vector<T> readRaw(const std::string& path, uint64_t count) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<T> out(static_cast<size_t>(count));
  char extra;
  if (std::fread(out.data(), sizeof(T), out.size(), f.get()) != out.size() || std::fread(&extra, 1, 1, f.get()) != 0)
    throw std::runtime_error("size mismatch " + path);
  return out;
}
template std::vector<float> readRaw<float>(const std::string&, uint64_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, uint64_t);

}  // namespace qo
