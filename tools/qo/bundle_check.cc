#include "tools/qo/bundle_check.h"

#include <sys/stat.h>

#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"

namespace qo::tool {

std::string whyNotABundle(const std::string& path) {
  if (path.empty()) return "an empty path names no bundle";
  if (fs::isDirectory(path) || imx::hasMagic(path)) return "";
  std::string stem = path;
  while (stem.size() > 1 && stem.back() == '/') stem.pop_back();
  if (imx::hasMagic(stem + ".imx")) return "";
  const std::string neither = "neither a bundle directory nor an IMX container";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return path + " does not exist, and neither does " + stem + ".imx: it is " + neither;
  if (S_ISREG(st.st_mode))
    return path + " is " + neither + ": it is a file of " + std::to_string((long long)st.st_size) +
           " bytes that does not begin with the IMX magic";
  return path + " is " + neither + ": it is not a regular file";
}

}  // namespace qo::tool
