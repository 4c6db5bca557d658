// qo — the command-line face of libqo_core.
#include <cstdio>
#include <cstring>

#include "capi/qo_build_info.h"
#include "tools/qo/commands.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: qo COMMAND [ARGS]\n"
               "  info BUNDLE          print a bundle's manifest, paste-space stamp and members\n"
               "  pack DIR OUT.imx     write the files below DIR as an IMX v2 container\n"
               "  demo [DIR] [opts]    write the demo avatar bundle (default demo.qobundle; --help for opts)\n"
               "  say [BUNDLE]         speak a WAV (or a built-in sentence) through the utterance API\n"
               "      [--wav IN.wav] [--out OUT.mp4] [--fast]        into an MP4 with sound\n"
               "  stream [BUNDLE]      render a WAV (or the built-in sentence) offline through the stream runner\n"
               "      [--wav IN.wav] [--out OUT.mp4]                 as fast as possible, with the final fps\n"
               "  serve [BUNDLE]       the avatar live in a browser page (loopback; one page at a time)\n"
               "        [--port N] [--host 127.0.0.1]\n"
               "  render [BUNDLE]      replay the drive tables into an MP4 and a contact sheet\n"
               "         [--out OUT.mp4] [--frames N] [--model KEY]   (default: the demo bundle)\n"
               "  teeth [BUNDLE]       borrow real teeth into the rendered mouths; a before/after contact sheet\n"
               "        [--out DIR] [--frames N]                     (default: the demo bundle)\n"
               "  version              print the library's dependency versions\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const char* cmd = argv[1];
  if (!std::strcmp(cmd, "info")) return qo::tool::cmdInfo(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "pack")) return qo::tool::cmdPack(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "demo")) return qo::tool::cmdDemo(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "render")) return qo::tool::cmdRender(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "say")) return qo::tool::cmdSay(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "stream")) return qo::tool::cmdStream(argc - 2, argv + 2);
  if (!std::strcmp(cmd, "teeth")) return qo::tool::cmdTeeth(argc - 2, argv + 2);
#ifdef QO_HAVE_SERVE
  if (!std::strcmp(cmd, "serve")) return qo::tool::cmdServe(argc - 2, argv + 2);
#endif
  if (!std::strcmp(cmd, "version")) {
    std::printf("%s\n", qo::buildInfo().c_str());
    return 0;
  }
  std::fprintf(stderr, "qo: unknown command '%s'\n", cmd);
  usage(stderr);
  return 2;
}
