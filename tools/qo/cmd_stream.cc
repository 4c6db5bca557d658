// qo stream: a whole utterance rendered offline through the stream runner, as fast as the
// machine allows, into an MP4 with the speech muxed in.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_stream.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/media_writer.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/progress.h"
#include "tools/qo/speech_audio.h"

namespace qo::tool {
namespace {

constexpr int kFrameSamples = 640;

struct Sink {
  devkit::MovieWriter* writer;
  const std::vector<int16_t>* speech;
  Progress* progress;
  int total = 0, frames = 0;
  std::exception_ptr error;  // a writer failure, rethrown after the run
};

// Frame i sits over samples 640 i .. 640 i + 639 of the speech.
void onFrame(void* user, int i, const uint8_t* rgb, int, int) {
  Sink& s = *static_cast<Sink*>(user);
  if (s.error) return;
  try {
    s.writer->addRgb(rgb);
    std::vector<int16_t> chunk(kFrameSamples, 0);
    for (int k = 0; k < kFrameSamples; ++k) {
      const size_t at = size_t(i) * kFrameSamples + size_t(k);
      if (at < s.speech->size()) chunk[size_t(k)] = (*s.speech)[at];
    }
    s.writer->addAudio(chunk.data(), chunk.size());
    ++s.frames;
    s.progress->live("[qo stream] frame %d of %d", i + 1, s.total);
  } catch (...) {
    s.error = std::current_exception();
  }
}

bool fileExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

int cmdStream(int argc, char** argv) {
  std::string bundle, wav, out = "stream.mp4";
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--wav" || a == "--out") && i + 1 < argc) {
      (a == "--wav" ? wav : out) = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "usage: qo stream [BUNDLE] [--wav IN.wav] [--out OUT.mp4]\n");
      return 2;
    } else {
      bundle = a;
    }
  }
  std::vector<int16_t> speech;
  std::string how;
  if (!prepareSpeech("stream", bundle, wav, speech, how)) return 1;
  char dir[4096];
  if (qo_bundle_resolve_handle(bundle.c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "qo stream: %s\n", qo_last_error());
    return 1;
  }
  for (const char* member : {"fca_stream.onnx", "model_render.onnx", "xs_target.bin"})
    if (!fileExists(std::string(dir) + "/" + member)) {
      std::fprintf(stderr,
                   "qo stream: %s has no %s, which the stream runner needs (a demo bundle written before the runner "
                   "existed gets it from a fresh `qo demo DIR`)\n",
                   dir, member);
      return 1;
    }
  // The speech frontend: $W2V_ONNX, else the one the demo bundle carries.
  std::string frontend = std::getenv("W2V_ONNX") ? std::getenv("W2V_ONNX") : "";
  if (frontend.empty() && fileExists(devkit::demoFrontendPath(dir))) frontend = devkit::demoFrontendPath(dir);
  if (frontend.empty()) {
    std::fprintf(stderr, "qo stream: no speech frontend: set W2V_ONNX to the 8 s frontend graph\n");
    return 1;
  }
  // As for qo say: on two cores the single warp node renders faster than the hoisted cone.
  if (!std::getenv("QO_WARP_NODE")) ::setenv("QO_WARP_NODE", "1", 1);
  std::fprintf(stderr, "[qo stream] %.2f s of speech (%s)\n", double(speech.size()) / 16000, how.c_str());

  qo_stream* s = qo_stream_create(bundle.c_str(), frontend.c_str(), 0, 0, 1.0f);
  if (!s) {
    std::fprintf(stderr, "qo stream: %s\n", qo_stream_last_error());
    return 1;
  }
  int rc = 0;
  try {
    const int W = qo_stream_width(s), H = qo_stream_height(s);
    devkit::MovieOptions mo;
    mo.width = W;
    mo.height = H;
    mo.audioRate = 16000;
    mo.live = true;  // the encoder runs on the pasting thread: keep its share small
    devkit::MovieWriter writer(out, mo);
    std::vector<float> audio(speech.size());
    for (size_t i = 0; i < speech.size(); ++i) audio[i] = float(speech[i]) / 32768.0f;
    Progress progress(stderr);
    Sink sink{&writer, &speech, &progress, 0, 0, nullptr};
    sink.total = int((speech.size() + kFrameSamples - 1) / kFrameSamples);
    const auto t0 = std::chrono::steady_clock::now();
    const int got = qo_stream_run(s, audio.data(), int(audio.size()), onFrame, &sink);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    progress.end();
    if (sink.error) std::rethrow_exception(sink.error);
    if (got < 0) throw std::runtime_error(qo_stream_last_error());
    writer.finish();
    std::printf("wrote %s (%d frames %dx%d, %s + aac)\n", out.c_str(), got, W, H, writer.videoEncoder());
    std::printf("streamed %d frames in %.2f s: %.1f fps (deltas, render and paste overlapped, encoding included)\n",
                got, secs, secs > 0 ? got / secs : 0.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo stream: %s\n", e.what());
    rc = 1;
  }
  qo_stream_destroy(s);
  return rc;
}

}  // namespace qo::tool
