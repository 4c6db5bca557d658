// Subcommands of the qo tool. Each returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo::tool {

int cmdInfo(int argc, char** argv);
int cmdPack(int argc, char** argv);
int cmdDemo(int argc, char** argv);
int cmdRender(int argc, char** argv);
int cmdSay(int argc, char** argv);
int cmdStream(int argc, char** argv);
int cmdServe(int argc, char** argv);
int cmdTeeth(int argc, char** argv);

// The demo bundle at `dir`, written there first when nothing is.
std::string ensureDemoBundle(const std::string& dir);

// What a speaking command starts from: `bundle` (the demo bundle when empty) checked, and the speech
// of `wav` (or the built-in sentence) at 16 kHz with `how` naming its source. False after printing
// "qo CMD: reason".
bool prepareSpeech(const char* cmd, std::string& bundle, const std::string& wav, std::vector<int16_t>& speech,
                   std::string& how);

}  // namespace qo::tool
