#include <cstdio>
#include <exception>

#include "bundle/qo_imx.h"
#include "tools/qo/commands.h"

namespace qo::tool {

int cmdPack(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qo pack DIR OUT.imx\n");
    return 2;
  }
  try {
    imx::pack(argv[0], argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo pack: %s\n", e.what());
    return 1;
  }
  std::printf("wrote %s\n", argv[1]);
  return 0;
}

}  // namespace qo::tool
