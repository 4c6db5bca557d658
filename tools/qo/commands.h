// Subcommands of the qo tool. Each returns the process exit code.
#pragma once

#include <string>

namespace qo::tool {

int cmdInfo(int argc, char** argv);
int cmdPack(int argc, char** argv);
int cmdDemo(int argc, char** argv);
int cmdRender(int argc, char** argv);
int cmdSay(int argc, char** argv);
int cmdStream(int argc, char** argv);
int cmdServe(int argc, char** argv);

// The demo bundle at `dir`, written there first when nothing is.
std::string ensureDemoBundle(const std::string& dir);

}  // namespace qo::tool
