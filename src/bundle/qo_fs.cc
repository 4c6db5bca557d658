#include "bundle/qo_fs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qo::fs {
namespace {

std::string stripTrailingSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

}  // namespace

bool endsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string baseName(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string absolutePath(const std::string& path) {
  auto owned = [](char* p) {
    std::string s = p ? p : "";
    std::free(p);
    return s;
  };
  std::string real = owned(::realpath(path.c_str(), nullptr));
  if (!real.empty() || path.empty()) return real;
  if (path[0] == '/') return path;
  const std::string cwd = owned(::getcwd(nullptr, 0));
  return cwd.empty() ? path : cwd + "/" + path;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool canRead(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

bool mkdirs(const std::string& path) {
  if (path.empty() || path == "/" || path == ".") return true;
  if (isDirectory(path)) return true;
  std::string parent = dirName(path);
  if (parent != path && !mkdirs(parent)) return false;
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return isDirectory(path);
}

void rmTree(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (DIR* d = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      rmTree(path + "/" + name);
    }
    ::closedir(d);
  }
  ::rmdir(path.c_str());
}

}  // namespace qo::fs
