// Blend-head checkpoints: the devkit's torch-layout archive loads; every malformed or foreign
// archive is refused with its own text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::tessera {
namespace {

using devkit::PtTensor;
using devkit::ZipMember;
using ::testing::HasSubstr;

std::string floats(const std::vector<float>& v) {
  std::string s(v.size() * 4, '\0');
  std::memcpy(s.data(), v.data(), s.size());  // the test host is little-endian, as the archive
  return s;
}

struct Arch {
  std::vector<PtTensor> tensors;
  std::vector<ZipMember> storages;
};

// The BlendHead8(16) candidate branch, every tensor its own storage "0".."5".
Arch cand() {
  const std::pair<const char*, std::vector<int64_t>> t[6] = {
      {"cand.0.weight", {16, 7, 3, 3}}, {"cand.0.bias", {16}}, {"cand.2.weight", {16, 16, 3, 3}},
      {"cand.2.bias", {16}},            {"cand.4.weight", {1, 16, 3, 3}}, {"cand.4.bias", {1}}};
  Arch a;
  for (int i = 0; i < 6; ++i) {
    a.tensors.push_back({t[i].first, t[i].second, std::to_string(i)});
    size_t n = 1;
    for (int64_t d : t[i].second) n *= size_t(d);
    a.storages.push_back({"archive/data/" + std::to_string(i), floats(devkit::demoHeadTensor(t[i].first, n))});
  }
  return a;
}

std::string archive(const Arch& a, const std::string& pickle = "") {
  std::vector<ZipMember> m = {{"archive/data.pkl", pickle.empty() ? devkit::pickleStateDict(a.tensors) : pickle}};
  m.insert(m.end(), a.storages.begin(), a.storages.end());
  return devkit::storedZip(m);
}

// A byte literal with its embedded NULs.
template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

std::string fault(const std::string& bytes) {
  try {
    loadHeadPt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraHead, LoadsBothArchitectures) {
  const std::string pt = devkit::demoHeadPt(true);
  const HeadWeights w = loadHeadPt(std::vector<uint8_t>(pt.begin(), pt.end()));
  EXPECT_EQ(w.params(), 4082u);
  EXPECT_TRUE(w.hasSynthesis());
  EXPECT_EQ(w.syn0_w, devkit::demoHeadTensor("syn.0.weight", 16 * 3 * 9));
  EXPECT_EQ(w.cand2_w, devkit::demoHeadTensor("cand.2.weight", 16 * 16 * 9));
  EXPECT_FLOAT_EQ(w.envelope_clamp, 0.0470588244f);
  const std::string pt8 = devkit::demoHeadPt(false);
  EXPECT_EQ(loadHeadPt(reinterpret_cast<const uint8_t*>(pt8.data()), pt8.size()).params(), 3489u);

  // A tensor that starts inside a shared storage is read from its offset.
  Arch a = cand();
  a.tensors[1].key = "0";
  a.tensors[1].offset = 100;
  const HeadWeights shared = loadHeadPt(reinterpret_cast<const uint8_t*>(archive(a).data()), archive(a).size());
  const std::vector<float> w0 = devkit::demoHeadTensor("cand.0.weight", 16 * 7 * 9);
  EXPECT_EQ(shared.cand0_b, std::vector<float>(w0.begin() + 100, w0.begin() + 116));
}

TEST(TesseraHead, ArchiveFaults) {
  EXPECT_EQ(fault("PK"), "teeth: head .pt is not a zip");
  EXPECT_EQ(fault(std::string(64, '\x80')), "teeth: head .pt has no zip EOCD");
  const std::string good = archive(cand());
  for (size_t cut : {good.size() - 1, good.size() / 2, size_t(40)})
    EXPECT_THAT(fault(good.substr(0, cut)), HasSubstr("teeth: head .pt")) << cut;
  Arch deflated = cand();
  deflated.storages[2].method = 8;
  EXPECT_THAT(fault(archive(deflated)), HasSubstr("entry is DEFLATEd; torch writes ZIP_STORED"));
  // Central directory names that run past the end of the file.
  std::string longName = good;
  const size_t cd = longName.rfind(std::string("PK\x01\x02", 4));
  longName[cd + 28] = '\xff', longName[cd + 29] = '\xff';
  EXPECT_EQ(fault(longName), "teeth: head .pt central directory is malformed");
  std::string badLocal = good;
  const size_t cd0 = badLocal.find(std::string("PK\x01\x02", 4));
  badLocal[cd0 + 42] = '\xf0', badLocal[cd0 + 45] = '\x7f';
  EXPECT_EQ(fault(badLocal), "teeth: head .pt local header out of range");
  std::string bigEntry = good;
  bigEntry[cd0 + 24] = '\xff', bigEntry[cd0 + 27] = '\x7f';
  EXPECT_EQ(fault(bigEntry), "teeth: head .pt entry out of range");
  Arch noPkl = cand();
  EXPECT_EQ(fault(devkit::storedZip(noPkl.storages)), "teeth: head .pt has no data.pkl");
  Arch lost = cand();
  lost.storages.pop_back();
  EXPECT_EQ(fault(archive(lost)), "teeth: head storage 5 missing");
  Arch small = cand();
  small.storages[3].data.resize(60);
  EXPECT_EQ(fault(archive(small)), "teeth: head storage 3 too small");
}

TEST(TesseraHead, StateDictFaults) {
  Arch dup = cand();
  dup.tensors.push_back(dup.tensors[0]);
  EXPECT_EQ(fault(archive(dup)), "teeth: head .pt names 'cand.0.weight' 2 times — ambiguous");
  Arch missing = cand();
  missing.tensors.erase(missing.tensors.begin() + 3);
  EXPECT_EQ(fault(archive(missing)), "teeth: head .pt lacks 'cand.2.bias'");
  Arch shape = cand();
  shape.tensors[4].shape = {16, 1, 3, 3};
  EXPECT_EQ(fault(archive(shape)), "teeth: head 'cand.4.weight' has shape [16,1,3,3] — not the BlendHead(16) arch");
  Arch half = cand();
  half.tensors[0].storage = "HalfStorage";
  EXPECT_EQ(fault(archive(half)),
            "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it");
  Arch synPart = cand();
  synPart.tensors.push_back({"syn.0.weight", {16, 3, 3, 3}, "0"});
  EXPECT_EQ(fault(archive(synPart)), "teeth: head .pt lacks 'syn.0.bias'");
  Arch negative = cand();
  negative.tensors[2].offset = -4;
  EXPECT_THAT(fault(archive(negative)), HasSubstr("negative storage offset -4"));
  EXPECT_EQ(fault(archive(cand(), std::string("\x80\x02}.", 4))), "teeth: head .pt state_dict is empty");
}

TEST(TesseraHead, PickleFaults) {
  const Arch a = cand();
  const std::string pkl = devkit::pickleStateDict(a.tensors);
  EXPECT_EQ(fault(archive(a, pkl.substr(0, pkl.size() - 1))), "teeth: pickle truncated");
  EXPECT_EQ(fault(archive(a, pkl.substr(0, 40))), "teeth: pickle truncated");
  EXPECT_EQ(fault(archive(a, std::string("\x80\x02\x8c\x01x.", 6))),
            "teeth: unsupported pickle opcode 0x8c in head .pt");
  EXPECT_EQ(fault(archive(a, "\x80\x02h\x05.")), "teeth: pickle BINGET out of range");
  EXPECT_EQ(fault(archive(a, std::string("\x80\x02j\x00\x01\x00\x00.", 8))), "teeth: pickle LONG_BINGET out of range");
  EXPECT_EQ(fault(archive(a, "\x80\x02t.")), "teeth: pickle has no MARK for TUPLE/SETITEMS in head .pt");
  EXPECT_EQ(fault(archive(a, "\x80\x02R.")), "teeth: pickle stack underflow in head .pt");
  // Values under a MARK are out of reach until the MARK is closed.
  EXPECT_EQ(fault(archive(a, "\x80\x02N(\x85.")), "teeth: pickle stack underflow in head .pt");
  EXPECT_EQ(fault(archive(a, "\x80\x02(Nu.")), "teeth: pickle SETITEMS has a key without a value in head .pt");
  EXPECT_EQ(fault(archive(a, "\x80\x02\x63os\nsystem\n)R.")),
            "teeth: head .pt calls os system — this reader refuses code it does not model");
  EXPECT_EQ(fault(archive(a, bin("\x80\x02(X\x07\x00\x00\x00storageNNNNtQ."))),
            "teeth: head .pt storage is ?, not torch FloatStorage — refusing to reinterpret it");
  EXPECT_EQ(fault(archive(a, "\x80\x02Nr\xff\xff\xff\xff.")).substr(0, 26), "teeth: pickle memo index 4");
  // A memo copied into itself a hundred times nests tuples 2^100 deep in value, yet stays cheap.
  std::string bomb = bin("\x80\x02Nq\x00");
  for (int i = 0; i < 100; ++i) bomb += bin("h\x00h\x00\x86q\x00");
  EXPECT_EQ(fault(archive(a, bomb + "0.")), "teeth: unsupported pickle opcode 0x30 in head .pt");
}

}  // namespace
}  // namespace qo::tessera
