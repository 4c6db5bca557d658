// qo serve: the avatar live in a browser. One engine context and one utterance instance serve
// one page at a time (a second page is told "busy"); a pump thread pulls frames at 25 fps and
// muxes them, with the speech under each speech frame, into a fragmented MP4 that the page plays
// through Media Source Extensions.
#include <httplib.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_utt.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/serve_page.h"
#include "tools/qo/serve_stream.h"
#include "tools/qo/speech_audio.h"

extern char** environ;

namespace qo::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrameSamples = 640;
constexpr size_t kMaxText = 500;                  // characters of one sentence
constexpr size_t kMaxUpload = 4u << 20;           // bytes of one WAV upload
constexpr size_t kMaxSpeechSamples = 60 * 16000;  // one utterance: a minute
constexpr auto kMinRequestGap = std::chrono::milliseconds(300);
constexpr size_t kMaxClientBacklog = 16u << 20;   // bytes a page may fall behind before it is dropped
constexpr int kFragmentFrames = 2, kGop = 50;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// One page's stream: bytes from the pump, drained by the page's HTTP worker.
struct Client {
  std::string session;
  std::mutex m;
  std::condition_variable cv;
  std::string bytes;
  bool closed = false;
  std::unique_ptr<LiveMp4> mp4;  // pump thread only
};

// Runs espeak-ng without a shell (text and paths are arguments) into a 16 kHz buffer.
std::vector<int16_t> synthesize(const std::string& text) {
  char txt[] = "/tmp/qo_serve_XXXXXX.txt", wav[] = "/tmp/qo_serve_XXXXXX.wav";
  const int tfd = ::mkstemps(txt, 4), wfd = ::mkstemps(wav, 4);
  if (tfd >= 0) ::close(tfd);
  if (wfd >= 0) ::close(wfd);
  if (tfd < 0 || wfd < 0) throw std::runtime_error("cannot create a temporary file");
  { std::ofstream(txt, std::ios::binary) << text; }
  const char* argv[] = {"espeak-ng", "-s", "150", "-f", txt, "-w", wav, nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, "espeak-ng", &fa, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  if (err == 0) ::waitpid(pid, &status, 0);
  std::vector<int16_t> pcm;
  std::string why;
  if (err != 0) why = "espeak-ng is not installed";
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) why = "espeak-ng failed";
  else {
    try {
      pcm = readWav16k(wav);
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  std::remove(txt);
  std::remove(wav);
  if (!why.empty()) throw std::runtime_error(why);
  return pcm;
}

std::vector<int16_t> decodeUpload(const std::string& body) {
  char wav[] = "/tmp/qo_serve_XXXXXX.wav";
  const int fd = ::mkstemps(wav, 4);
  if (fd < 0) throw std::runtime_error("cannot create a temporary file");
  ::close(fd);
  { std::ofstream(wav, std::ios::binary).write(body.data(), std::streamsize(body.size())); }
  std::vector<int16_t> pcm;
  std::string why;
  try {
    pcm = readWav16k(wav);
  } catch (const std::exception& e) {
    why = e.what();
    for (size_t at; (at = why.find(wav)) != std::string::npos;) why.replace(at, std::strlen(wav), "the upload");
  }
  std::remove(wav);
  if (!why.empty()) throw std::runtime_error(why);
  return pcm;
}

// Printable UTF-8 of one sentence; "" when acceptable, else why not.
std::string whyNotText(const std::string& t) {
  if (t.size() > kMaxText) return "text longer than " + std::to_string(kMaxText) + " bytes";
  bool any = false;
  for (size_t i = 0; i < t.size();) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (!n || i + size_t(n) > t.size()) return "text is not UTF-8";
    for (int k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(t[i + size_t(k)]) >> 6) != 2) return "text is not UTF-8";
    if (n == 1 && c < 0x20 && c != '\n' && c != '\t') return "text holds control characters";
    if (n == 1 && c == 0x7f) return "text holds control characters";
    if (c > 0x20) any = true;
    i += size_t(n);
  }
  return any ? "" : "text is empty";
}

class Server {
 public:
  Server(qo_ctx* ctx, qo_utt* u, int streamWidth) : ctx_(ctx), u_(u), w_(qo_width(ctx)), h_(qo_height(ctx)) {
    // The stream's size: the frame's, or streamWidth wide at the frame's aspect (both even).
    sw_ = (streamWidth > 0 ? std::min(streamWidth, w_) : w_) & ~1;
    sh_ = int(std::lround(double(h_) * sw_ / w_)) & ~1;
    // The codecs string the page needs before its stream starts (it depends on the frame size).
    codecs_ = LiveMp4(w_, h_, sw_, sh_, kFragmentFrames, kGop, [](const uint8_t*, size_t) {}).codecs();
    started_ = Clock::now();
  }

  void routes(httplib::Server& s) {
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(servePage(), "text/html; charset=utf-8");
    });
    s.Get("/info", [this](const httplib::Request&, httplib::Response& res) {
      char j[256];
      std::snprintf(j, sizeof j, "{\"width\":%d,\"height\":%d,\"fps\":25,\"codecs\":\"%s\"}", sw_, sh_, codecs_.c_str());
      res.set_content(j, "application/json");
    });
    s.Get("/stats", [this](const httplib::Request&, httplib::Response& res) { res.set_content(stats(), "application/json"); });
    s.Get("/stream", [this](const httplib::Request& req, httplib::Response& res) { openStream(req, res); });
    s.Post("/say", [this](const httplib::Request& req, httplib::Response& res) {
      if (!admit(req, res)) return;
      if (const std::string why = whyNotText(req.body); !why.empty())
        return fail(res, why.rfind("text longer", 0) == 0 ? 413 : 400, why);
      try {
        speak(synthesize(req.body), res);
      } catch (const std::exception& e) {
        fail(res, 500, std::string("speech synthesis: ") + e.what());
      }
    });
    s.Post("/wav", [this](const httplib::Request& req, httplib::Response& res) {
      if (!admit(req, res)) return;
      if (req.body.empty()) return fail(res, 400, "empty upload: send a WAV file as the request body");
      std::vector<int16_t> pcm;
      try {
        pcm = decodeUpload(req.body);
      } catch (const std::exception& e) {
        return fail(res, 400, std::string("not a WAV this server reads: ") + e.what());
      }
      speak(std::move(pcm), res);
    });
    s.Post("/interrupt", [this](const httplib::Request& req, httplib::Response& res) {
      if (!owns(req, res)) return;
      std::lock_guard<std::mutex> l(m_);
      qo_utt_interrupt(u_);
      interrupted_ = true;
      res.set_content("interrupted\n", "text/plain");
    });
    for (const char* p : {"/say", "/wav", "/interrupt"})
      s.Get(p, [](const httplib::Request&, httplib::Response& res) { fail(res, 405, "use POST"); });
    for (const char* p : {"/", "/info", "/stats", "/stream"})
      s.Post(p, [](const httplib::Request&, httplib::Response& res) { fail(res, 405, "use GET"); });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty()) return;
      if (res.status == 404) res.set_content("no such page: " + req.path + "\n", "text/plain");
      else if (res.status == 413) res.set_content("request body larger than 4 MiB\n", "text/plain");
      else res.set_content("HTTP " + std::to_string(res.status) + "\n", "text/plain");
    });
    s.set_payload_max_length(kMaxUpload);
  }

  // Pulls frames at 25 fps while the server runs; encodes them for the page that watches.
  void pump() {
    std::vector<uint8_t> rgb(size_t(w_) * size_t(h_) * 3);
    std::vector<int16_t> pcm(kFrameSamples);
    qo_utt_frame_info info;
    Clock::time_point origin = Clock::now();
    int64_t k = 0;
    while (!stop_) {
      std::this_thread::sleep_until(origin + std::chrono::milliseconds(40 * k));
      if (!qo_utt_pull_frame(u_, rgb.data(), rgb.size(), &info)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      // A late engine slides the clock instead of bursting to catch up.
      const Clock::time_point now = Clock::now();
      if (now > origin + std::chrono::milliseconds(40 * k + 80)) origin = now - std::chrono::milliseconds(40 * k);
      ++k;
      std::shared_ptr<Client> c;
      {
        std::lock_guard<std::mutex> l(m_);
        std::fill(pcm.begin(), pcm.end(), int16_t(0));
        if (info.kind == 1) {
          const size_t at = size_t(info.seq) * kFrameSamples;
          for (size_t i = 0; i < kFrameSamples && at + i < speech_.size(); ++i) pcm[i] = speech_[at + i];
          if (info.seq == 0) speechStartFrame_ = streamFrames_.load();
        }
        if (speaking_ && info.kind != 0) sawNonIdle_ = true;
        if (speaking_ && ((info.kind == 0 && (sawNonIdle_ || interrupted_)) || msSince(acceptedAt_) > speechLimitMs_))
          speaking_ = false;
        pullTimes_.push_back(now);
        while (pullTimes_.size() > 50) pullTimes_.pop_front();
        c = client_;
      }
      if (!c) continue;
      bool closed;
      {
        std::lock_guard<std::mutex> l(c->m);
        closed = c->closed;
      }
      if (closed) {
        std::lock_guard<std::mutex> l(m_);
        if (client_ == c) client_.reset();
        continue;
      }
      try {
        if (!c->mp4) {
          streamFrames_ = 0;
          Client* raw = c.get();
          c->mp4 = std::make_unique<LiveMp4>(w_, h_, sw_, sh_, kFragmentFrames, kGop, [raw](const uint8_t* d, size_t n) {
            std::lock_guard<std::mutex> l(raw->m);
            raw->bytes.append(reinterpret_cast<const char*>(d), n);
            if (raw->bytes.size() > kMaxClientBacklog) raw->closed = true;  // a page that stopped reading
            raw->cv.notify_all();
          });
        }
        c->mp4->add(rgb.data(), pcm.data());
        streamFrames_ = c->mp4->frames();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[qo serve] stream dropped: %s\n", e.what());
        std::lock_guard<std::mutex> l(c->m);
        c->closed = true;
        c->cv.notify_all();
      }
    }
  }

  std::string sizeText() const {
    std::string t = std::to_string(w_) + "x" + std::to_string(h_);
    if (sw_ != w_) t += " (streamed at " + std::to_string(sw_) + "x" + std::to_string(sh_) + ")";
    return t;
  }

  void stop() {
    stop_ = true;
    std::lock_guard<std::mutex> l(m_);
    if (client_) {
      std::lock_guard<std::mutex> lc(client_->m);
      client_->closed = true;
      client_->cv.notify_all();
    }
  }

 private:
  static void fail(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
  }

  static bool validSession(const std::string& s) {
    if (s.size() < 8 || s.size() > 64) return false;
    for (char c : s)
      if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
  }

  // The request comes from the page that owns the stream.
  bool owns(const httplib::Request& req, httplib::Response& res) {
    const std::string s = req.get_header_value("X-Session");
    std::lock_guard<std::mutex> l(m_);
    if (!client_) return fail(res, 409, "no page is watching: open the stream first"), false;
    if (s != client_->session) return fail(res, 409, "busy: another page owns this avatar"), false;
    return true;
  }

  // Owner, rate and one utterance at a time.
  bool admit(const httplib::Request& req, httplib::Response& res) {
    if (!owns(req, res)) return false;
    std::lock_guard<std::mutex> l(m_);
    if (Clock::now() - lastRequest_ < kMinRequestGap)
      return fail(res, 429, "too many requests: at most one sentence per 300 ms"), false;
    lastRequest_ = Clock::now();
    if (speaking_) return fail(res, 409, "still speaking: wait for the end or interrupt"), false;
    return true;
  }

  void speak(std::vector<int16_t> pcm, httplib::Response& res) {
    if (pcm.empty()) return fail(res, 400, "no speech in the request");
    if (pcm.size() > kMaxSpeechSamples) return fail(res, 413, "speech longer than 60 s");
    std::lock_guard<std::mutex> l(m_);
    if (speaking_) return fail(res, 409, "still speaking: wait for the end or interrupt");
    const double seconds = double(pcm.size()) / 16000;
    speech_ = std::move(pcm);
    speaking_ = true;
    sawNonIdle_ = interrupted_ = false;
    acceptedAt_ = Clock::now();
    speechLimitMs_ = seconds * 1000 * 4 + 20000;
    if (!qo_utt_push_audio(u_, speech_.data(), int(speech_.size()))) return fail(res, 500, qo_utt_last_error());
    qo_utt_end_utterance(u_);
    char j[96];
    std::snprintf(j, sizeof j, "{\"seconds\":%.2f}", seconds);
    res.set_content(j, "application/json");
  }

  void openStream(const httplib::Request& req, httplib::Response& res) {
    const std::string session = req.get_param_value("session");
    if (!validSession(session)) return fail(res, 400, "session must be 8 to 64 letters or digits");
    auto c = std::make_shared<Client>();
    c->session = session;
    {
      std::lock_guard<std::mutex> l(m_);
      if (client_) {
        std::lock_guard<std::mutex> lc(client_->m);
        if (!client_->closed && client_->session != session)
          return fail(res, 409, "busy: another page is watching this avatar; one page at a time");
        client_->closed = true;  // the same page reconnecting replaces its old stream
        client_->cv.notify_all();
      }
      client_ = c;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "video/mp4",
        [c](size_t, httplib::DataSink& sink) {
          std::string chunk;
          {
            std::unique_lock<std::mutex> l(c->m);
            c->cv.wait_for(l, std::chrono::milliseconds(200), [&] { return !c->bytes.empty() || c->closed; });
            if (c->closed) return false;
            chunk.swap(c->bytes);
          }
          if (!chunk.empty() && !sink.write(chunk.data(), chunk.size())) {
            std::lock_guard<std::mutex> l(c->m);
            c->closed = true;
            return false;
          }
          return true;
        },
        [c](bool) {
          std::lock_guard<std::mutex> l(c->m);
          c->closed = true;
        });
  }

  std::string stats() {
    qo_utt_stats st;
    qo_utt_get_stats(u_, &st);
    std::lock_guard<std::mutex> l(m_);
    double fps = 0;
    if (pullTimes_.size() >= 2) {
      const double span = std::chrono::duration<double>(pullTimes_.back() - pullTimes_.front()).count();
      if (span > 0) fps = double(pullTimes_.size() - 1) / span;
    }
    char j[640];
    std::snprintf(j, sizeof j,
                  "{\"fps\":%.2f,\"first_frame_ms\":%.1f,\"queue_depth\":%d,\"frames\":%lld,\"speech_frames\":%lld,"
                  "\"utterances\":%lld,\"render_ms\":%.2f,\"state\":%d,\"speaking\":%s,\"watching\":%s,"
                  "\"stream_frames\":%lld,\"speech_start_frame\":%lld,\"uptime_s\":%.1f}",
                  fps, st.first_frame_ms, qo_utt_frames_available(u_), (long long)st.frames,
                  (long long)st.speech_frames, (long long)st.utterances, st.render_ms, st.state,
                  speaking_ ? "true" : "false", client_ ? "true" : "false", (long long)streamFrames_.load(),
                  (long long)speechStartFrame_, msSince(started_) / 1000);
    return j;
  }

  qo_ctx* ctx_;
  qo_utt* u_;
  int w_, h_, sw_ = 0, sh_ = 0;
  std::string codecs_;
  Clock::time_point started_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> streamFrames_{0};

  std::mutex m_;  // everything below
  std::shared_ptr<Client> client_;
  std::vector<int16_t> speech_;
  bool speaking_ = false, sawNonIdle_ = false, interrupted_ = false;
  int64_t speechStartFrame_ = -1;  // stream frame of the latest utterance's first speech frame
  Clock::time_point acceptedAt_, lastRequest_;
  double speechLimitMs_ = 0;
  std::deque<Clock::time_point> pullTimes_;
};

bool isLoopback(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

int cmdServe(int argc, char** argv) {
  std::string bundle, host = "127.0.0.1";
  int port = 8023, streamWidth = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qo serve: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port") {
      const std::string v = value();
      char* end = nullptr;
      const long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || p < 0 || p > 65535) return std::fprintf(stderr, "qo serve: bad port '%s'\n", v.c_str()), 2;
      port = int(p);
    } else if (a == "--host") {
      host = value();
    } else if (a == "--width") {
      streamWidth = std::atoi(value().c_str());
      if (streamWidth < 2) return std::fprintf(stderr, "qo serve: --width needs at least 2 pixels\n"), 2;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "usage: qo serve [BUNDLE] [--port N (0: any free port)] [--host 127.0.0.1] [--width W]\n"
                           "  --width W  stream W pixels wide (scaled from the engine's frames; less to encode)\n");
      return 2;
    } else {
      bundle = a;
    }
  }
  try {
    if (bundle.empty()) bundle = ensureDemoBundle("demo.qobundle");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qo serve: %s\n", e.what());
    return 1;
  }
  if (const std::string why = whyNotABundle(bundle); !why.empty()) {
    std::fprintf(stderr, "qo serve: %s\n", why.c_str());
    return 1;
  }
  char dir[4096];
  if (qo_bundle_resolve_handle(bundle.c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "qo serve: %s\n", qo_last_error());
    return 1;
  }
  const std::string frontend = std::string(dir) + "/audio_encoder_fp16.onnx";
  struct stat st;
  if (!std::getenv("W2V_ONNX") && ::stat(frontend.c_str(), &st) == 0) ::setenv("W2V_ONNX", frontend.c_str(), 1);
  if (!std::getenv("QO_WARP_NODE")) ::setenv("QO_WARP_NODE", "1", 1);

  // SIGINT / SIGTERM end the server cleanly: a thread waits for them (blocked everywhere else).
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  qo_ctx* ctx = qo_create(dir, "b1", 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "qo serve: %s\n", qo_last_error());
    return 1;
  }
  qo_utt* u = qo_utt_open(ctx, dir);
  if (!u) {
    std::fprintf(stderr, "qo serve: %s\n", qo_utt_last_error());
    qo_destroy(ctx);
    return 1;
  }
  int ready;
  while ((ready = qo_utt_ready(u)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  int rc = 0;
  if (ready < 0) {
    std::fprintf(stderr, "qo serve: %s\n", qo_utt_last_error());
    rc = 1;
  } else {
    try {
      Server server(ctx, u, streamWidth);
      httplib::Server http;
      server.routes(http);
      const int bound = port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
      if (bound < 0) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
      if (!isLoopback(host))
        std::fprintf(stderr, "[qo serve] WARNING: listening on %s, reachable beyond this machine\n", host.c_str());
      const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
      std::printf("[qo serve] %s avatar live at http://%s:%d/ (one page at a time; Ctrl-C stops)\n",
                  server.sizeText().c_str(), shown.c_str(), bound);
      std::fflush(stdout);
      std::thread pumpThread([&] { server.pump(); });
      std::thread signalThread([&] {
        int sig = 0;
        sigwait(&sigs, &sig);
        if (sig) std::fprintf(stderr, "[qo serve] %s: stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
        server.stop();
        http.stop();
      });
      if (!http.listen_after_bind()) rc = 1;
      server.stop();
      http.stop();
      pumpThread.join();
      ::kill(::getpid(), SIGTERM);  // wakes the signal thread when listening ended on its own
      signalThread.join();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qo serve: %s\n", e.what());
      rc = 1;
    }
  }
  qo_utt_destroy(u);
  qo_destroy(ctx);
  return rc;
}

}  // namespace qo::tool
