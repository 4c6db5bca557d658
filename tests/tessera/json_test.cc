// The teeth members' JSON reader: trees, lookups and every syntax fault's text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"

namespace qo::tessera::json {
namespace {

using ::testing::HasSubstr;

std::string faultOf(const std::string& text) {
  try {
    parseJson(text, "t.json");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraJson, TreesKeepOrderAndDuplicates) {
  EXPECT_TRUE(parseJson(" { \n}", "x").isObject());
  EXPECT_TRUE(parseJson("[ ]", "x").arr.empty());
  const JVal v = parseJson("{\"a\": 1, \"b\": [true, false, null, \"s\\u00e9\\n\"], \"a\": 2} trailing", "x");
  ASSERT_EQ(v.obj.size(), 3u);
  EXPECT_EQ(v.obj[2].second.num, 2);
  EXPECT_EQ(reqNum(v, "a", "ctx"), 1);
  const JVal& b = v.req("b");
  ASSERT_EQ(b.arr.size(), 4u);
  EXPECT_TRUE(b.arr[0].b);
  EXPECT_EQ(b.arr[2].kind, JVal::Kind::kNull);
  EXPECT_EQ(b.arr[3].str, "s?\n");
  EXPECT_EQ(optStr(v, "a", "fb"), "fb");
  EXPECT_THAT(faultOf("[1, 2"), HasSubstr("teeth: t.json is not readable JSON: teeth: malformed JSON array"));
  EXPECT_THAT(faultOf("[1, 2,"), HasSubstr("teeth: JSON truncated"));
  EXPECT_THROW(v.req("zz"), std::runtime_error);
  try {
    reqNum(parseJson("{\"a\": \"1\", \"a\": 1}", "x"), "a", "ctx");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: ctx lacks numeric 'a'");
  }
}

TEST(TesseraJson, NumbersAreDecimalAndFinite) {
  EXPECT_EQ(parseJson("-12.5e1", "x").num, -125);
  EXPECT_EQ(parseJson("+3", "x").num, 3);
  EXPECT_EQ(parseJson("[.5, 5.]", "x").arr[1].num, 5);
  for (const char* bad : {"nan", "inf", "-infinity", "1e400", "-", "[1, nan]"})
    EXPECT_THAT(faultOf(bad), HasSubstr("teeth: bad JSON number")) << bad;
  // 0x10 would be 16 to a C conversion; here "0" is read and the "x" is trailing text.
  EXPECT_EQ(parseJson("0x10", "x").num, 0);
  EXPECT_THAT(faultOf("[0x10]"), HasSubstr("malformed JSON array"));
  int32_t out = 0;
  EXPECT_TRUE(toInt32(-2147483648.9, &out));
  EXPECT_EQ(out, -2147483647 - 1);
  EXPECT_FALSE(toInt32(2147483648.0, &out));
  EXPECT_THAT([] { reqInt(parseJson("{\"n\": 3e9}", "x"), "n", "sc"); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("teeth: sc has a bad numeric 'n'")));
}

// Text that stops at any point of a value never reads past its end and always fails with a
// "teeth:" text (run under ASan, a read past the end is reported).
TEST(TesseraJson, TruncatedTextFailsInBounds) {
  const std::string full = "{\"a\": [1, {\"k\\\"\": \"v\\\\\"}, -2.5e3], \"b\": true}";
  for (size_t n = 0; n < full.size(); ++n) {
    const std::string cut = full.substr(0, n);
    std::string* heap = new std::string(cut);  // exact-size heap copy for the sanitizer
    std::string fault;
    try {
      JParser p(heap->data(), heap->data() + heap->size());
      p.val();
    } catch (const std::runtime_error& e) {
      fault = e.what();
    }
    delete heap;
    EXPECT_THAT(fault, HasSubstr("teeth: ")) << "prefix " << n;
  }
  EXPECT_THAT(faultOf("\"ab\\"), HasSubstr("teeth: JSON string not terminated"));
  EXPECT_THAT(faultOf("{"), HasSubstr("teeth: malformed JSON object"));
  EXPECT_THAT(faultOf("{\"a\":"), HasSubstr("teeth: JSON truncated"));
  EXPECT_THAT(faultOf("[1 2]"), HasSubstr("teeth: malformed JSON array"));
  EXPECT_THAT(faultOf("{\"a\" 1 \"b\"}"), HasSubstr("teeth: malformed JSON object"));
}

TEST(TesseraJson, NestingIsBounded) {
  EXPECT_NO_THROW(parseJson(std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']'), "x"));
  EXPECT_THAT(faultOf(std::string(100000, '[')), HasSubstr("teeth: JSON nested deeper than 256 levels"));
  std::string objs;
  for (int i = 0; i <= kMaxDepth; ++i) objs += "{\"a\":";
  EXPECT_THAT(faultOf(objs), HasSubstr("nested deeper"));
}

}  // namespace
}  // namespace qo::tessera::json
