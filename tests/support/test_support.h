// Fixtures shared by the test binaries: temporary directories, files, environment overrides and
// hand-built IMX containers (including malformed ones).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qo::test {

// A fresh directory under $TMPDIR, removed with everything below it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Sets (or with nullptr unsets) an environment variable for the scope, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

void writeFile(const std::string& path, const std::string& bytes);  // creates parent dirs
std::string readFile(const std::string& path);                      // "" when unreadable
bool fileExists(const std::string& path);

// A container member for imxBytes: the name as stored and its payload.
struct RawMember {
  std::string name;
  std::string data;
};

// An IMX container: header with `version`, the table of contents, then each payload
// back to back.
std::string imxBytes(const std::vector<RawMember>& members, uint16_t version = 2);

// A manifest.json text with sensible values for a W x H canvas; `extra` is spliced in verbatim
// before the closing brace and `drop` names top-level keys to leave out.
std::string manifestText(int w = 96, int h = 64, int crop = 32, int nt = 4, const std::string& extra = "",
                         const std::vector<std::string>& drop = {});

}  // namespace qo::test
