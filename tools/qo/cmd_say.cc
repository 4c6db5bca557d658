// qo say: a real host of the utterance API. Pushes speech at real-time pace (or as fast as
// possible), pulls the frames, and writes them with the speech muxed in.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_utt.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/media_writer.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/contact_sheet.h"
#include "tools/qo/progress.h"
#include "tools/qo/speech_audio.h"
#include "tools/qo/teeth_bank.h"

namespace qo::tool {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool fileExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

constexpr int kFrameSamples = 640;  // 40 ms at 16 kHz
constexpr int kRingFrames = 8;      // the utterance's delivery ring

// Frames as they leave the pipeline, with the audio that belongs under each.
class Recording {
 public:
  Recording(const std::string& path, int w, int h)
      : writer_(path, [&] {
          devkit::MovieOptions o;
          o.width = w;
          o.height = h;
          o.audioRate = 16000;
          o.live = true;  // the encoder shares the two cores with the engine
          return o;
        }()),
        sheet_(w, h, 6) {}

  // The speech's first sample sits under the first speech frame.
  void add(const uint8_t* rgb, const qo_utt_frame_info& info, const std::vector<int16_t>& speech) {
    if (info.kind == 1 && speechStart_ < 0) speechStart_ = frames_;
    writer_.addRgb(rgb);
    std::vector<int16_t> chunk(kFrameSamples, 0);
    if (speechStart_ >= 0) {
      const long at = long(frames_ - speechStart_) * kFrameSamples;
      for (int i = 0; i < kFrameSamples; ++i)
        if (at + i < long(speech.size())) chunk[size_t(i)] = speech[size_t(at + i)];
    }
    writer_.addAudio(chunk.data(), chunk.size());
    ++kinds_[info.kind < 0 || info.kind > 2 ? 0 : info.kind];
    ++frames_;
  }
  void sheetOffer(int k, int total, const uint8_t* rgb) { sheet_.offer(k, total, rgb); }
  void finish(const std::string& sheetPath) {
    writer_.finish();
    sheet_.save(sheetPath);
  }
  int frames() const { return frames_; }
  int kind(int k) const { return kinds_[k]; }
  const char* encoder() const { return writer_.videoEncoder(); }

 private:
  devkit::MovieWriter writer_;
  ContactSheet sheet_;
  int frames_ = 0, speechStart_ = -1;
  int kinds_[3] = {0, 0, 0};
};

}  // namespace

bool prepareSpeech(const char* cmd, std::string& bundle, const std::string& wav, std::vector<int16_t>& speech,
                   std::string& how) {
  try {
    if (bundle.empty()) bundle = ensureDemoBundle("demo.qobundle");
    if (wav.empty()) speech = builtInSentence(&how);
    else {
      speech = readWav16k(wav);
      how = wav;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo %s: %s\n", cmd, e.what());
    return false;
  }
  if (const std::string why = whyNotABundle(bundle); !why.empty()) {
    std::fprintf(stderr, "qo %s: %s\n", cmd, why.c_str());
    return false;
  }
  return true;
}

int cmdSay(int argc, char** argv) {
  std::string bundle, wav, out = "say.mp4";
  bool fast = false, motion = false, teeth = true;
  std::string paste;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qo say: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--wav") wav = value();
    else if (a == "--out") out = value();
    else if (a == "--fast") fast = true;
    else if (a == "--motion") motion = true;
    else if (a == "--no-teeth") teeth = false;
    else if (a == "--paste") paste = value();
    else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "usage: qo say [BUNDLE] [--wav IN.wav] [--out OUT.mp4] [--fast] [--motion] [--no-teeth]\n"
                           "              [--paste sync|pipelined]\n"
                           "  --motion    drive the face with the audio-to-motion model in BUNDLE/motion (qo_motion)\n"
                           "  --no-teeth  do not borrow teeth even when the bundle carries the teeth members\n"
                           "  --paste     paste on the run thread (sync) or on the paste thread (pipelined; the\n"
                           "              default with the streaming a2x model)\n");
      return 2;
    } else bundle = a;
  }

  std::vector<int16_t> speech;
  std::string how;
  if (!prepareSpeech("say", bundle, wav, speech, how)) return 1;
  std::fprintf(stderr, "[qo say] %.2f s of speech (%s)\n", double(speech.size()) / 16000, how.c_str());

  char dir[4096];
  if (qo_bundle_resolve_handle(bundle.c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "qo say: %s\n", qo_last_error());
    return 1;
  }
  // The demo bundle carries its own speech frontend; a host names it in W2V_ONNX.
  const std::string frontend = devkit::demoFrontendPath(dir);
  if (!std::getenv("W2V_ONNX") && fileExists(frontend)) ::setenv("W2V_ONNX", frontend.c_str(), 1);

  // On two cores one WarpDirector node renders a frame faster than the hoisted cone, whose prep
  // graph takes the core the director's second thread and the compositor need.
  if (!std::getenv("QO_WARP_NODE")) {
    ::setenv("QO_WARP_NODE", "1", 1);
    std::fprintf(stderr, "[qo say] director warp as one node (QO_WARP_NODE=1; set QO_WARP_NODE=0 for the hoist)\n");
  }
  if (!paste.empty()) {
    if (paste != "sync" && paste != "pipelined") {
      std::fprintf(stderr, "qo say: --paste takes sync or pipelined, not %s\n", paste.c_str());
      return 2;
    }
    ::setenv("QO_UTT_PIPELINE_PASTE", paste == "sync" ? "0" : "1", 1);
  }
  qo_ctx* ctx = qo_create(dir, "b1", 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "qo say: %s\n", qo_last_error());
    return 1;
  }
  const int W = qo_width(ctx), H = qo_height(ctx);
  qo_utt* u = nullptr;
  if (motion) {
    // qo_motion generates 80 frames per chunk; the hybrid eager step serves them as the speech
    // arrives instead of a chunk at a time.
    const std::string motionDir = std::string(dir) + "/motion";
    if (!fileExists(motionDir + "/meta.json")) {
      std::fprintf(stderr, "qo say: --motion: %s holds no motion directory (no meta.json)\n", motionDir.c_str());
      qo_destroy(ctx);
      return 1;
    }
    qo_utt_opts o;
    std::memset(&o, 0, sizeof o);
    o.motion_dir = motionDir.c_str();
    o.eager = -2;
    u = qo_utt_create(ctx, &o);
    std::fprintf(stderr, "[qo say] motion model: qo_motion (%s, hybrid eager)\n", motionDir.c_str());
  } else {
    u = qo_utt_open(ctx, dir);
  }
  if (!u) {
    std::fprintf(stderr, "qo say: %s\n", qo_utt_last_error());
    qo_destroy(ctx);
    return 1;
  }
  int rc = 0;
  Progress progress(stderr);
  try {
    // The borrow is attached before the first frame, so every speech frame carries its teeth.
    // A bank that does not fit this bundle is reported, and the avatar speaks without it.
    if (teeth && hasTeethMembers(dir)) {
      const auto t0 = Clock::now();
      try {
        const TeethBank bank = loadTeethBank(dir);
        attachTeethBank(u, bank);
        char geometry[16] = "";
        qo_utt_tessera_geometry(u, geometry, sizeof geometry);
        progress.stage("[qo say] teeth borrow attached: %d donors, geometry %s, in %.2f s", bank.n, geometry,
                       secondsSince(t0));
      } catch (const std::exception& e) {
        progress.stage("[qo say] !!! teeth borrow NOT attached, speaking without it: %s", e.what());
      }
    }
    const auto loadStart = Clock::now();
    int ready;
    while ((ready = qo_utt_ready(u)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ready < 0) throw std::runtime_error(qo_utt_last_error());
    progress.stage("[qo say] model ready in %.2f s", secondsSince(loadStart));

    Recording rec(out, W, H);
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    qo_utt_frame_info info;
    // A real-time host is a 25 fps sink: frame k after the start is due 40 ms after frame k - 1,
    // and it takes at most one frame per tick. As fast as possible, it drains the ring, at most a
    // ring's worth at a time so the speech keeps being pushed.
    int late = 0, tick = 0, streamStart = 0;
    double worstLateMs = 0;
    Clock::time_point origin = Clock::now();
    auto pull = [&]() {
      int got = 0;
      while (got < kRingFrames) {
        if (!fast) {
          const double dueMs = 40.0 * tick, nowMs = secondsSince(origin) * 1000.0;
          if (nowMs < dueMs) break;
          if (!qo_utt_pull_frame(u, rgb.data(), rgb.size(), &info)) break;
          const double lateMs = secondsSince(origin) * 1000.0 - dueMs;
          if (lateMs > 40.0) ++late;  // later than one frame period
          worstLateMs = std::max(worstLateMs, lateMs);
          ++tick;
        } else if (!qo_utt_pull_frame(u, rgb.data(), rgb.size(), &info)) {
          break;
        }
        if (info.kind == 1 && rec.kind(1) == 0) {
          // The stream's clock starts with the first speech frame: what comes before is the
          // model's first-frame latency, reported on its own.
          origin = Clock::now();
          streamStart = rec.frames();
          tick = 1;
          late = 0;
          worstLateMs = 0;
        }
        rec.sheetOffer(rec.frames(), int(speech.size() / kFrameSamples) + 20, rgb.data());
        rec.add(rgb.data(), info, speech);
        ++got;
      }
      return got > 0;
    };
    // A short idle lead-in, then the speech.
    while (rec.frames() < 10) {
      if (!pull()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    progress.stage("[qo say] idle lead-in of %d frames; speaking %s", rec.frames(), fast ? "as fast as possible" : "in real time");
    const auto speakStart = Clock::now();
    // Until the first speech frame the lead-in's pace holds: those frames waited in the ring.
    origin = speakStart;
    tick = 0;
    late = 0;
    worstLateMs = 0;
    size_t pushed = 0;
    int ended = 0;
    int idleAfter = 0;
    int speechFramesBefore = rec.kind(1);
    bool sawSpeech = false, sawRamp = false;
    const auto limit = Clock::now() + std::chrono::seconds(600);
    while (Clock::now() < limit) {
      const size_t due = fast ? speech.size() : std::min(speech.size(), size_t(secondsSince(speakStart) * 16000));
      if (due > pushed) {
        qo_utt_push_audio(u, speech.data() + pushed, int(due - pushed));
        pushed = due;
      }
      if (pushed == speech.size() && !ended) {
        qo_utt_end_utterance(u);
        ended = 1;
        progress.stage("[qo say] all %.1f s of speech pushed after %.1f s (%d frames so far)",
                       double(pushed) / 16000, secondsSince(speakStart), rec.frames());
      }
      const int before = rec.frames();
      const bool got = pull();
      if (!sawSpeech && rec.kind(1) > speechFramesBefore) {
        sawSpeech = true;
        progress.stage("[qo say] first speech frame %.2f s after the speech began", secondsSince(speakStart));
      }
      if (!sawRamp && rec.kind(2) > 0) {
        sawRamp = true;
        progress.stage("[qo say] speech over after %d speech frames; ramping back to idle", rec.kind(1));
      }
      if (got && sawSpeech && info.kind == 0) idleAfter += rec.frames() - before;
      if (idleAfter >= 10) break;
      if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      progress.live("[qo say] pushed %.1f s, %d frames (speech %d, ramp %d)", double(pushed) / 16000, rec.frames(),
                    rec.kind(1), rec.kind(2));
    }
    const double wall = secondsSince(speakStart), streamed = secondsSince(origin);
    progress.stage(idleAfter >= 10 ? "[qo say] back to idle after %.1f s: %d frames (speech %d, ramp %d)"
                                   : "[qo say] STOPPED after %.1f s without returning to idle: %d frames (speech %d, "
                                     "ramp %d)",
                   wall, rec.frames(), rec.kind(1), rec.kind(2));
    const std::string sheetPath = out.substr(0, out.rfind('.')) + "_sheet.png";
    rec.finish(sheetPath);

    qo_utt_stats st;
    qo_utt_get_stats(u, &st);
    char msg[512];
    int64_t failures = 0;
    const int status = qo_utt_render_status(u, msg, sizeof msg, &failures);
    std::printf("wrote %s (%d frames %dx%d, %s + aac) and %s\n", out.c_str(), rec.frames(), W, H, rec.encoder(),
                sheetPath.c_str());
    std::printf("frames: %d idle, %d speech, %d ramp; first speech frame %.0f ms after the first audio\n",
                rec.kind(0), rec.kind(1), rec.kind(2), st.first_frame_ms);
    // From the first speech frame on, the rate the stream had.
    const double fps = double(rec.frames() - streamStart) / streamed;
    std::printf("delivered %.1f fps over %.1f s (%s pace); speech render %.1f ms/frame%s\n", fps, streamed,
                fast ? "as fast as possible" : "real-time", st.render_ms,
                fps >= 24.5 ? "" : " \xE2\x80\x94 slower than 25 fps");
    if (!fast)
      std::printf("jitter: %d of %d frames from the first speech frame on came within one frame period of their "
                  "due time; a playout delay of %.0f ms would hold every one on time\n",
                  tick - late, tick, worstLateMs);
    int64_t written = 0, skipped = 0, synthFrames = 0;
    char reason[256] = "";
    const int borrow = qo_utt_tessera_stats(u, &written, &skipped, reason, sizeof reason);
    if (borrow != 0) {
      double mean = 0, max = 0;
      const bool synth = qo_utt_tessera_synth_w(u, &mean, &max, &synthFrames) != 0;
      char geometry[16] = "";
      qo_utt_tessera_geometry(u, geometry, sizeof geometry);
      char synthText[128] = "none";
      if (synth)
        std::snprintf(synthText, sizeof synthText, "%.4f mean, %.4f max over %lld frames", mean, max,
                      (long long)synthFrames);
      std::printf("teeth borrow: %lld frames written, %lld skipped%s%s; synth_w %s; geometry %s\n",
                  (long long)written, (long long)skipped, borrow < 0 ? ", DEGRADED: " : "", borrow < 0 ? reason : "",
                  synthText, geometry);
    } else {
      std::printf("teeth borrow: off\n");
    }
    if (failures) std::printf("render failures: %lld (%s)%s\n", (long long)failures, msg, status < 0 ? " [fatal]" : "");
  } catch (const std::exception& e) {
    progress.end();
    std::fprintf(stderr, "qo say: %s\n", e.what());
    rc = 1;
  }
  qo_utt_destroy(u);
  qo_destroy(ctx);
  return rc;
}

}  // namespace qo::tool
