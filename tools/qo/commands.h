// Subcommands of the qo tool. Each returns the process exit code.
#pragma once

namespace qo::tool {

int cmdInfo(int argc, char** argv);
int cmdPack(int argc, char** argv);
int cmdDemo(int argc, char** argv);
int cmdRender(int argc, char** argv);

}  // namespace qo::tool
