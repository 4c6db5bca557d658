// Fuzzes the container reader and unwrap: any bytes under a container name must either unpack
// inside the unwrap directory, one file per table entry, or fail with an exception, never crash,
// write elsewhere or let one entry overwrite another.
#include <dirent.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"
#include "qo/qo_bundle.h"
#include "tests/fuzz/fuzz_seeds.h"

namespace {

std::string gWork;

std::string le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(char(v >> (8 * i)));
  return s;
}

std::string container(const std::vector<std::pair<std::string, std::string>>& members, uint16_t version = 2) {
  std::string head = std::string("IMX\0", 4) + le(version, 2) + le(members.size(), 2);
  uint64_t offset = 8;
  for (const auto& m : members) offset += 2 + m.first.size() + 16;
  std::string payload;
  for (const auto& m : members) {
    head += le(m.first.size(), 2) + m.first + le(offset, 8) + le(m.second.size(), 8);
    offset += m.second.size();
    payload += m.second;
  }
  return head + payload;
}

// The names in a container's table of contents (the unwrap has already accepted it).
std::vector<std::string> tocNames(const uint8_t* data, size_t size) {
  std::vector<std::string> names;
  if (size < 8) return names;
  const size_t count = data[6] | (data[7] << 8);
  size_t pos = 8;
  for (size_t i = 0; i < count && pos + 2 <= size; ++i) {
    const size_t len = data[pos] | (data[pos + 1] << 8);
    if (pos + 2 + len > size) break;
    names.emplace_back(reinterpret_cast<const char*>(data) + pos + 2, len);
    pos += 2 + len + 16;
  }
  return names;
}

size_t countFiles(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      n += qo::fs::isDirectory(path) ? countFiles(path) : 1;
    }
    ::closedir(d);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qo::fuzz::writeSeedsIfAsked({
      container({}),
      container({{"manifest.json", "{\"format\": \"qo-bundle-v0\"}"}, {"drive/xs.f32", std::string(24, '\1')}}),
      container({{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"}, {"a", "b"}}),
      container({{"../x", "evil"}}),
      container({{"m", "x"}}, 1),
      container({{"x.bin", "1"}, {"x.bin", "2"}}),
      container({{"y.part", "1"}, {"y", "2"}, {"d/./z", "3"}}),
  });
  char templ[] = "/tmp/qo_fuzz_imx_XXXXXX";
  if (!::mkdtemp(templ)) std::abort();
  gWork = templ;
  ::setenv("QO_IMX_UNWRAP_ROOT", (gWork + "/root").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string c = gWork + "/c.imx";
  if (FILE* f = std::fopen(c.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  (void)qo::isImxV2File(c);
  try {
    std::string dir = qo::resolveBundlePath(c);
    if (dir != c && dir != qo::imx::unwrapDirFor(c)) std::abort();  // unpacked somewhere else
    if (dir != c) {
      size_t expected = 0;
      bool manifestNamed = false;
      for (const std::string& name : tocNames(data, size)) {
        ++expected;
        manifestNamed = manifestNamed || name == "manifest.json";
      }
      if (manifestNamed && !qo::fs::exists(dir + "/manifest.json")) --expected;  // a synthetic one
      if (countFiles(dir) != expected) std::abort();  // an entry overwrote another
    }
  } catch (const std::runtime_error&) {
  }
  qo::fs::rmTree(gWork + "/root");
  // Nothing may land beside the container except what the unwrap root holds.
  if (qo::fs::exists(gWork + "/x")) std::abort();
  return 0;
}
