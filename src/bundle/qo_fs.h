// Small POSIX file-system helpers shared by the bundle loaders.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qo::fs {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
// An owned stdio stream.
using File = std::unique_ptr<FILE, FileCloser>;

bool endsWith(const std::string& s, const char* suffix);

// Drops trailing '/' and keeps what follows the last '/'.
std::string baseName(const std::string& path);

// Drops trailing '/'; "." when no '/' is left, "/" when the only '/' is the first character,
// else everything before the last '/'.
std::string dirName(const std::string& path);

// Creates `path` and its missing parents (mode 0755). True for "", "/" and "."; a failed mkdir
// still counts when the path is a directory afterwards (another process may have made it).
bool mkdirs(const std::string& path);

// Removes a file, or a directory and everything below it, never following symbolic links.
// Errors are ignored.
void rmTree(const std::string& path);

// `path` made absolute: the real path (symbolic links and ".." resolved) when it exists, else
// the path joined to the working directory.
std::string absolutePath(const std::string& path);

bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
bool exists(const std::string& path);   // without following a final symbolic link
bool canRead(const std::string& path);  // the file can be opened for reading

}  // namespace qo::fs
