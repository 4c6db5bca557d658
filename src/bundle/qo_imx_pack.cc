#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"

namespace qo::imx {
namespace {

constexpr uint64_t kAlign = 64;

using fs::File;

struct Member {
  std::string name;  // relative, '/'-separated
  std::string path;
  uint64_t size = 0;
  uint64_t offset = 0;
};

// Regular files below `dir` (symbolic links to files are followed, linked directories are not,
// so a link cycle cannot make the walk endless).
void collect(const std::string& dir, const std::string& prefix, std::vector<Member>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw std::runtime_error("cannot read directory " + dir);
  std::unique_ptr<DIR, int (*)(DIR*)> guard(d, ::closedir);
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat lst, st;
    if (::lstat(path.c_str(), &lst) != 0) continue;
    if (S_ISDIR(lst.st_mode)) {
      collect(path, prefix + name + "/", out);
    } else if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      out.push_back({prefix + name, path, uint64_t(st.st_size), 0});
    }
  }
}

void putLe(std::vector<unsigned char>& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back((unsigned char)(v >> (8 * i)));
}

}  // namespace

void pack(const std::string& dir, const std::string& out) {
  if (!fs::isDirectory(dir)) throw std::runtime_error("not a directory: " + dir);
  std::vector<Member> members;
  collect(dir, "", members);
  std::sort(members.begin(), members.end(),
            [](const Member& a, const Member& b) { return a.name < b.name; });
  if (members.size() > 0xFFFF)
    throw std::runtime_error(dir + ": " + std::to_string(members.size()) + " members (at most 65535 fit)");

  uint64_t pos = 8;
  for (const Member& m : members) {
    if (isUnsafeMemberName(m.name)) throw std::runtime_error(dir + ": refusing unsafe member name '" + m.name + "'");
    if (isReservedMemberName(m.name)) throw std::runtime_error(reservedNameRefusal(dir, m.name));
    if (m.name.size() > 0xFFFF) throw std::runtime_error(dir + ": member name too long: " + m.name);
    pos += 2 + m.name.size() + 16;
  }
  for (Member& m : members) {
    pos = (pos + kAlign - 1) / kAlign * kAlign;
    m.offset = pos;
    pos += m.size;
  }

  std::vector<unsigned char> head(kMagic, kMagic + 4);
  putLe(head, kVersion, 2);
  putLe(head, members.size(), 2);
  for (const Member& m : members) {
    putLe(head, m.name.size(), 2);
    head.insert(head.end(), m.name.begin(), m.name.end());
    putLe(head, m.offset, 8);
    putLe(head, m.size, 8);
  }

  const std::string part = out + ".part";
  File f(std::fopen(part.c_str(), "wb"));
  if (!f) throw std::runtime_error("cannot write " + part);
  auto fail = [&](const std::string& why) {
    f.reset();
    std::remove(part.c_str());
    throw std::runtime_error(why);
  };
  if (std::fwrite(head.data(), 1, head.size(), f.get()) != head.size()) fail("short write on " + part);

  std::vector<char> buf(size_t{1} << 20);
  uint64_t written = head.size();
  for (const Member& m : members) {
    static const char zeros[kAlign] = {};
    if (std::fwrite(zeros, 1, m.offset - written, f.get()) != m.offset - written) fail("short write on " + part);
    File in(std::fopen(m.path.c_str(), "rb"));
    if (!in) fail("cannot open " + m.path);
    uint64_t left = m.size;
    while (left > 0) {
      size_t got = std::fread(buf.data(), 1, size_t(std::min<uint64_t>(left, buf.size())), in.get());
      if (got == 0) fail("short read " + m.path);
      if (std::fwrite(buf.data(), 1, got, f.get()) != got) fail("short write on " + part);
      left -= got;
    }
    written = m.offset + m.size;
  }
  if (std::fclose(f.release()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("flush failed on " + part);
  }
  if (std::rename(part.c_str(), out.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot place " + out);
  }
}

}  // namespace qo::imx
