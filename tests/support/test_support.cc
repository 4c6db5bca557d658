#include "support/test_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "bundle/qo_fs.h"

namespace qo::test {

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qo_test_XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() { qo::fs::rmTree(path_); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value) ::setenv(name, value, 1);
  else ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
  else ::unsetenv(name_.c_str());
}

void writeFile(const std::string& path, const std::string& bytes) {
  qo::fs::mkdirs(qo::fs::dirName(path));
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string readFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string s;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

namespace {
void putLe(std::string& s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
}
}  // namespace

std::string imxBytes(const std::vector<RawMember>& members, uint16_t version) {
  std::string head("IMX\0", 4);
  putLe(head, version, 2);
  putLe(head, members.size(), 2);
  size_t tocSize = 0;
  for (const RawMember& m : members) tocSize += 2 + m.name.size() + 16;
  uint64_t offset = 8 + tocSize;
  std::string payload;
  for (const RawMember& m : members) {
    putLe(head, m.name.size(), 2);
    head += m.name;
    putLe(head, offset, 8);
    putLe(head, m.data.size(), 8);
    offset += m.data.size();
    payload += m.data;
  }
  return head + payload;
}

std::string manifestText(int w, int h, int crop, int nt, const std::string& extra,
                         const std::vector<std::string>& drop) {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"format", "\"qo-bundle-v0\""}, {"agent", "\"tester\""},
      {"NT", std::to_string(nt)},     {"W", std::to_string(w)},
      {"H", std::to_string(h)},       {"crop", std::to_string(crop)},
      {"M_src_w", std::to_string(w)}, {"M_src_h", std::to_string(h)},
      {"amount", "1.3"},              {"sigma", "2.0"},
      {"ksize", "13"},                {"frames", std::to_string(nt)},
  };
  std::string s = "{\n";
  bool first = true;
  for (const auto& [k, v] : fields) {
    if (std::find(drop.begin(), drop.end(), k) != drop.end()) continue;
    s += std::string(first ? "" : ",\n") + "  \"" + k + "\": " + v;
    first = false;
  }
  if (!extra.empty()) s += std::string(first ? "" : ",\n") + "  " + extra;
  return s + "\n}\n";
}

}  // namespace qo::test
