#include "tools/devkit/demo_tessera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "bundle/qo_fs.h"
#include "driver/qo_ff.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace qo::devkit {
namespace {

[[noreturn]] void fail(const std::string& what, int err = 0) {
  throw std::runtime_error("bank writer: " + what + (err ? " (" + ff::errorText(err) + ")" : ""));
}

void writeText(const std::string& path, const std::string& bytes) {
  fs::mkdirs(fs::dirName(path));
  fs::File f(std::fopen(path.c_str(), "wb"));
  if (!f || (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()))
    throw std::runtime_error("cannot write " + path);
  if (std::fclose(f.release()) != 0) throw std::runtime_error("cannot write " + path);
}

std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void le16(std::string& s, uint32_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char((v >> 8) & 0xFF));
}
void le32(std::string& s, uint32_t v) {
  le16(s, v & 0xFFFF);
  le16(s, v >> 16);
}

uint32_t crc32(const std::string& data) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Writes protocol-2 opcodes, memoising every pushed value as torch's pickler does.
class Pickler {
 public:
  std::string out;

  void op(uint8_t b) { out.push_back(char(b)); }
  void put() {
    const uint32_t idx = memo_++;
    if (idx < 256) {
      op(0x71);
      op(uint8_t(idx));
    } else {
      op(0x72);
      le32(out, idx);
    }
  }
  void global(const std::string& module, const std::string& name) {
    const std::string key = module + "\n" + name;
    if (auto it = globals_.find(key); it != globals_.end()) {
      op(0x68);  // BINGET
      op(uint8_t(it->second));
      return;
    }
    op(0x63);
    out += module + "\n" + name + "\n";
    globals_[key] = memo_;
    put();
  }
  void str(const std::string& s) {
    op(0x58);
    le32(out, uint32_t(s.size()));
    out += s;
    put();
  }
  void integer(int64_t v) {
    if (v >= 0 && v < 256) {
      op(0x4B);
      op(uint8_t(v));
    } else if (v >= 0 && v < 65536) {
      op(0x4D);
      le16(out, uint32_t(v));
    } else {
      op(0x4A);
      le32(out, uint32_t(int32_t(v)));
    }
  }
  void intTuple(const std::vector<int64_t>& v) {
    if (v.empty()) {
      op(0x29);
    } else if (v.size() <= 3) {
      for (int64_t d : v) integer(d);
      op(uint8_t(0x84 + v.size()));
    } else {
      op(0x28);
      for (int64_t d : v) integer(d);
      op(0x74);
    }
    put();
  }

 private:
  uint32_t memo_ = 0;
  std::map<std::string, uint32_t> globals_;
};

struct TensorSpec {
  const char* name;
  std::vector<int64_t> shape;
};
const TensorSpec kHead[10] = {
    {"cand.0.weight", {16, 7, 3, 3}}, {"cand.0.bias", {16}}, {"cand.2.weight", {16, 16, 3, 3}}, {"cand.2.bias", {16}},
    {"cand.4.weight", {1, 16, 3, 3}}, {"cand.4.bias", {1}},  {"syn.0.weight", {16, 3, 3, 3}},   {"syn.0.bias", {16}},
    {"syn.2.weight", {1, 16, 3, 3}},  {"syn.2.bias", {1}},
};

size_t elements(const std::vector<int64_t>& shape) {
  size_t n = 1;
  for (int64_t d : shape) n *= size_t(d);
  return n;
}

}  // namespace

std::array<int32_t, 12> demoTesseraStamp(int crop) {
  // The window covers the demo face's mouth (centre row 0.725 crop, half width 0.11 crop) from
  // the upper lip, where the teeth show, down past the lower lip.
  const int32_t pad = std::max(1, crop / 64), margin = pad;
  const int32_t x0 = int32_t(crop * 0.36), y0 = int32_t(crop * 0.60);
  int32_t w = std::max(6, int32_t(crop * 0.28)), h = std::max(6, int32_t(crop * 0.22));
  w -= w % 2;  // even window sides: the blend head works at half resolution and upsamples by 2
  h -= h % 2;
  int32_t r0 = int32_t(h * 0.12), r1 = int32_t(h * 0.85), c0 = w / 8, c1 = w - w / 8;
  r1 -= (r1 - r0) % 2;  // even band sizes
  c1 -= (c1 - c0) % 2;
  return {crop, crop, x0, y0, w, h, pad, r0, r1, c0, c1, margin};
}

DemoBank demoBank(int crop, int donors) {
  const std::array<int32_t, 12> s = demoTesseraStamp(crop);
  DemoBank b;
  b.n = donors;
  b.w = s[10] - s[9] + 2 * s[11];
  b.h = s[8] - s[7] + 2 * s[11];
  // The stored band's top-left in canvas pixels.
  const int bx = s[2] + s[9] - s[11], by = s[3] + s[7] - s[11];
  // Donors are placed against the pi centroid of the target keypoints, the frame the live borrow measures.
  b.c_canon = demoPiCentroid(crop);
  b.donorBands.resize(size_t(donors) * b.w * b.h * 3);
  for (int d = 0; d < donors; ++d) {
    const float open = 0.3f + 0.6f * float(d) / float(std::max(1, donors - 1));
    const float sx = 0.012f * float(d % 5 - 2);  // small sideways offsets, normalised units
    uint8_t* band = b.donorBands.data() + size_t(d) * b.w * b.h * 3;
    for (int y = 0; y < b.h; ++y)
      for (int x = 0; x < b.w; ++x) {
        const float nx = 2.0f * (float(bx + x) + 0.5f) / float(crop) - 1.0f - sx;
        const float ny = 2.0f * (float(by + y) + 0.5f) / float(crop) - 1.0f;
        const FaceSample f = faceAt(nx, ny, open);
        const float rgb[3] = {f.r, f.g, f.b};
        for (int c = 0; c < 3; ++c)
          band[(size_t(y) * b.w + x) * 3 + c] = uint8_t(std::lround(std::clamp(rgb[c], 0.0f, 1.0f) * 255.0f));
      }
    b.cent.push_back(b.c_canon[0] + 0.5 * sx * crop);
    b.cent.push_back(b.c_canon[1]);
    b.aperture.push_back((0.01 + 0.13 * open) * crop);
  }
  // Track frame i holds donor (7i + 3) mod n: a permutation whenever n is odd or not a multiple of 7.
  const int step = (donors % 7 == 0) ? 1 : 7;
  for (int i = 0; i < donors; ++i) b.track_order.push_back(int32_t((int64_t(step) * i + 3) % donors));
  std::vector<bool> seen(size_t(donors), false);
  for (int32_t d : b.track_order) seen[size_t(d)] = true;
  if (std::find(seen.begin(), seen.end(), false) != seen.end())
    for (int i = 0; i < donors; ++i) b.track_order[size_t(i)] = i;
  return b;
}

void writeBankTrack(const std::string& path, const uint8_t* bands, int n, int w, int h) {
  if (av_log_get_level() > AV_LOG_WARNING) av_log_set_level(AV_LOG_WARNING);
  struct OutputCloser {
    void operator()(AVFormatContext* c) const {
      if (c->pb) avio_closep(&c->pb);
      avformat_free_context(c);
    }
  };
  AVFormatContext* raw = nullptr;
  int err = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  if (err < 0 || !raw) fail("no mp4 muxer", err);
  std::unique_ptr<AVFormatContext, OutputCloser> out(raw);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264rgb");
  if (!codec) fail("this FFmpeg has no libx264rgb encoder");
  ff::CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) fail("out of memory");
  enc->width = w;
  enc->height = h;
  enc->pix_fmt = AV_PIX_FMT_RGB24;
  enc->time_base = AVRational{1, 25};
  enc->framerate = AVRational{25, 1};
  enc->gop_size = 1;  // donors are unrelated pictures
  if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(enc->priv_data, "qp", "0", 0);
  if ((err = avcodec_open2(enc.get(), codec, nullptr)) < 0) fail("cannot open libx264rgb", err);
  AVStream* st = avformat_new_stream(out.get(), nullptr);
  if (!st) fail("out of memory");
  st->time_base = enc->time_base;
  if ((err = avcodec_parameters_from_context(st->codecpar, enc.get())) < 0) fail("stream parameters", err);
  if ((err = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) fail("cannot open " + path, err);
  if ((err = avformat_write_header(out.get(), nullptr)) < 0) fail("cannot write the header of " + path, err);
  ff::FramePtr frame(av_frame_alloc());
  ff::PacketPtr pkt(av_packet_alloc());
  if (!frame || !pkt) fail("out of memory");
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = w;
  frame->height = h;
  if ((err = av_frame_get_buffer(frame.get(), 0)) < 0) fail("frame buffer", err);
  auto encode = [&](AVFrame* f) {
    if ((err = avcodec_send_frame(enc.get(), f)) < 0) fail("encoder refused a frame", err);
    for (;;) {
      err = avcodec_receive_packet(enc.get(), pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err < 0) fail("encoder fault", err);
      if (pkt->duration == 0) pkt->duration = 1;
      av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
      pkt->stream_index = st->index;
      if ((err = av_interleaved_write_frame(out.get(), pkt.get())) < 0) fail("cannot write " + path, err);
    }
  };
  const size_t row = size_t(w) * 3;
  for (int i = 0; i < n; ++i) {
    if ((err = av_frame_make_writable(frame.get())) < 0) fail("frame", err);
    for (int y = 0; y < h; ++y)
      std::memcpy(frame->data[0] + size_t(y) * frame->linesize[0], bands + (size_t(i) * h + y) * row, row);
    frame->pts = i;
    encode(frame.get());
  }
  encode(nullptr);
  if ((err = av_write_trailer(out.get())) < 0) fail("cannot finish " + path, err);
}

std::string pickleStateDict(const std::vector<PtTensor>& tensors) {
  Pickler p;
  p.op(0x80);
  p.op(2);
  p.global("collections", "OrderedDict");
  p.op(0x29);
  p.op(0x52);
  p.put();
  p.op(0x28);  // MARK: the items
  for (const PtTensor& t : tensors) {
    p.str(t.name);
    p.global("torch._utils", "_rebuild_tensor_v2");
    p.op(0x28);  // MARK: the rebuild arguments
    p.op(0x28);  // MARK: the persistent id
    p.str("storage");
    p.global("torch", t.storage);
    p.str(t.key);
    p.str("cpu");
    p.integer(int64_t(elements(t.shape)) + t.offset);
    p.op(0x74);
    p.put();
    p.op(0x51);  // BINPERSID
    p.integer(t.offset);
    p.intTuple(t.shape);
    std::vector<int64_t> stride(t.shape.size(), 1);
    for (size_t k = t.shape.size(); k-- > 1;) stride[k - 1] = stride[k] * t.shape[k];
    p.intTuple(stride);
    p.op(0x89);  // requires_grad False
    p.global("collections", "OrderedDict");
    p.op(0x29);
    p.op(0x52);
    p.put();
    p.op(0x74);  // TUPLE of the arguments
    p.put();
    p.op(0x52);  // REDUCE
    p.put();
  }
  p.op(0x75);  // SETITEMS
  // The dictionary's _metadata attribute, built on afterwards.
  p.op(0x7D);
  p.put();
  p.str("_metadata");
  p.global("collections", "OrderedDict");
  p.op(0x29);
  p.op(0x52);
  p.put();
  p.op(0x28);
  p.str("");
  p.op(0x7D);
  p.put();
  p.str("version");
  p.integer(1);
  p.op(0x73);  // SETITEM
  p.op(0x75);
  p.op(0x73);
  p.op(0x62);  // BUILD
  p.op(0x2E);  // STOP
  return p.out;
}

std::string storedZip(const std::vector<ZipMember>& members) {
  std::string zip, dir;
  for (const ZipMember& m : members) {
    const uint32_t offset = uint32_t(zip.size()), crc = crc32(m.data), size = uint32_t(m.data.size());
    // Pad the local header with an extra field so the data starts on a 64-byte boundary.
    const size_t head = 30 + m.name.size() + 4;
    const uint16_t padLen = uint16_t((64 - (offset + head) % 64) % 64);
    std::string extra;
    le16(extra, 0x4246);  // "FB"
    le16(extra, padLen);
    extra.append(padLen, 'Z');
    le32(zip, 0x04034B50);
    le16(zip, 20);
    le16(zip, 0);
    le16(zip, m.method);
    le16(zip, 0);
    le16(zip, 0x21);
    le32(zip, crc);
    le32(zip, size);
    le32(zip, size);
    le16(zip, uint32_t(m.name.size()));
    le16(zip, uint32_t(extra.size()));
    zip += m.name + extra + m.data;
    le32(dir, 0x02014B50);
    le16(dir, 0x031E);
    le16(dir, 20);
    le16(dir, 0);
    le16(dir, m.method);
    le16(dir, 0);
    le16(dir, 0x21);
    le32(dir, crc);
    le32(dir, size);
    le32(dir, size);
    le16(dir, uint32_t(m.name.size()));
    le16(dir, 0);
    le16(dir, 0);
    le16(dir, 0);
    le16(dir, 0);
    le32(dir, 0);
    le32(dir, offset);
    dir += m.name;
  }
  const uint32_t dirAt = uint32_t(zip.size());
  zip += dir;
  le32(zip, 0x06054B50);
  le16(zip, 0);
  le16(zip, 0);
  le16(zip, uint32_t(members.size()));
  le16(zip, uint32_t(members.size()));
  le32(zip, uint32_t(dir.size()));
  le32(zip, dirAt);
  le16(zip, 0);
  return zip;
}

std::vector<float> demoHeadTensor(const std::string& name, size_t count) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ uint8_t(c)) * 16777619u;
  std::vector<float> v(count);
  for (size_t k = 0; k < count; ++k) v[k] = 0.1f * std::sin(float(h % 1000) * 0.01f + float(k) * 0.37f);
  return v;
}

std::string demoHeadPt(bool synthesis) {
  std::vector<PtTensor> tensors;
  std::vector<ZipMember> members;
  members.push_back({"archive/data.pkl", ""});
  for (int t = 0; t < (synthesis ? 10 : 6); ++t) {
    const std::string key = std::to_string(t);
    tensors.push_back({kHead[t].name, kHead[t].shape, key});
    const std::vector<float> values = demoHeadTensor(kHead[t].name, elements(kHead[t].shape));
    std::string bytes(values.size() * 4, '\0');
    for (size_t k = 0; k < values.size(); ++k) {
      uint32_t bits;
      std::memcpy(&bits, &values[k], 4);
      for (int b = 0; b < 4; ++b) bytes[k * 4 + size_t(b)] = char((bits >> (8 * b)) & 0xFF);
    }
    members.push_back({"archive/data/" + key, bytes});
  }
  members[0].data = pickleStateDict(tensors);
  members.push_back({"archive/byteorder", "little"});
  members.push_back({"archive/version", "3\n"});
  return storedZip(members);
}

std::string demoHeadConfig() {
  return "{\n  \"format\": \"tessera_head.v1\",\n  \"arch\": \"BlendHead(16)\",\n"
         "  \"retrieval\": {\"kshort\": 32, \"aperture_tol\": 0.3, \"cut\": 24, \"K\": 16},\n"
         "  \"temporal\": {\"hysteresis\": 4, \"lookahead\": 4},\n"
         "  \"decode\": {\"envelope_clamp_255\": 12}\n}\n";
}

namespace {
const char* const kStampKeys[12] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w",     "window_h",
                                    "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",      "shift_margin"};

std::string stampJson(const std::array<int32_t, 12>& s) {
  std::string j = "{";
  for (int i = 0; i < 12; ++i) j += std::string(i ? ", " : "") + "\"" + kStampKeys[i] + "\": " + std::to_string(s[size_t(i)]);
  return j + "}";
}
}  // namespace

std::string demoTesseraManifestBlock(int crop) {
  return "{\"members\": {\"bank_track\": \"tessera_bank.v1.mp4\", \"bank_sidecar\": \"tessera_bank.v1.json\", "
         "\"head_weights\": \"tessera_head.v1.pt\", \"head_config\": \"tessera_head.v1.json\"}, "
         "\"planes\": [\"utt\", \"stream\"], \"bank_container\": \"mp4\", \"bank_packing\": \"rgb24_frames\", "
         "\"geometry\": " +
         stampJson(demoTesseraStamp(crop)) + "}";
}

void writeDemoTessera(const std::string& dir, int crop, int donors) {
  const DemoBank b = demoBank(crop, donors);
  const size_t stride = size_t(b.w) * b.h * 3;
  std::vector<uint8_t> track(b.donorBands.size());
  for (int i = 0; i < b.n; ++i)
    std::memcpy(track.data() + size_t(i) * stride, b.donorBands.data() + size_t(b.track_order[size_t(i)]) * stride,
                stride);
  writeBankTrack(dir + "/tessera_bank.v1.mp4", track.data(), b.n, b.w, b.h);

  std::string sc = "{\n  \"format\": \"tessera_bank.v1\",\n  \"n_donors\": " + std::to_string(b.n) + ",\n";
  sc += "  \"geometry\": " + stampJson(demoTesseraStamp(crop)) + ",\n";
  sc += "  \"stored_w\": " + std::to_string(b.w) + ", \"stored_h\": " + std::to_string(b.h) + ",\n";
  sc += "  \"codec\": {\"codec\": \"h264\", \"encoder\": \"libx264rgb\", \"qp\": 0, \"pix_fmt\": \"" +
        std::string(kDemoBankPixFmt) + "\"},\n";
  sc += "  \"track_order\": [";
  for (int i = 0; i < b.n; ++i) sc += (i ? ", " : "") + std::to_string(b.track_order[size_t(i)]);
  sc += "],\n  \"cent\": [";
  for (int i = 0; i < b.n; ++i)
    sc += std::string(i ? ", " : "") + "[" + num(b.cent[size_t(2 * i)]) + ", " + num(b.cent[size_t(2 * i + 1)]) + "]";
  sc += "],\n  \"aperture\": [";
  for (int i = 0; i < b.n; ++i) sc += (i ? ", " : "") + num(b.aperture[size_t(i)]);
  sc += "],\n  \"c_canon\": [" + num(b.c_canon[0]) + ", " + num(b.c_canon[1]) + "]\n}\n";
  writeText(dir + "/tessera_bank.v1.json", sc);
  writeText(dir + "/tessera_head.v1.json", demoHeadConfig());
  writeText(dir + "/tessera_head.v1.pt", demoHeadPt(true));
}

}  // namespace qo::devkit
