#include "bundle/qo_raw.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qo {

// The size is compared before anything is allocated: a manifest declaring a huge table costs
// nothing before it is refused.
template <class T>
std::vector<T> readRaw(const std::string& path, uint64_t count) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  struct stat st;
  if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) % sizeof(T) != 0 ||
      uint64_t(st.st_size) / sizeof(T) != count)
    throw std::runtime_error("size mismatch " + path);
  std::vector<T> out(static_cast<size_t>(count));
  char extra;
  if (std::fread(out.data(), sizeof(T), out.size(), f.get()) != out.size() || std::fread(&extra, 1, 1, f.get()) != 0)
    throw std::runtime_error("size mismatch " + path);
  return out;
}
template std::vector<float> readRaw<float>(const std::string&, uint64_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, uint64_t);

}  // namespace qo
