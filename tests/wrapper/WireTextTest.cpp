// Request text, and the error codes that no emulator fault reaches.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "ErrorCodes.h"
#include "WireText.h"

namespace Qumulo {
namespace {

TEST(WireTextTest, PercentEncodeKeepsOnlyUnreservedAndSlash) {
  EXPECT_EQ(PercentEncode("/fs/projects/a-b_c.d~e"), "/fs/projects/a-b_c.d~e");
  EXPECT_EQ(PercentEncode("/fs/a b&c=d?e#f%g+h"), "/fs/a%20b%26c%3Dd%3Fe%23f%25g%2Bh");
  EXPECT_EQ(PercentEncode("/caf\xc3\xa9"), "/caf%C3%A9");
  EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(WireTextTest, JsonStringsEscapeWhatJsonRequires) {
  std::string out;
  AppendJsonString(out, std::string("a\"b\\c\n\x01\x7f\xc3\xa9", 10));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\n\\u0001\x7f\xc3\xa9\"");
}

TEST(WireTextTest, DecimalIdsAreExactAndStrict) {
  uint64_t id = 7;
  EXPECT_TRUE(ParseDecimalId("9007199254740993", id));
  EXPECT_EQ(id, 9007199254740993ull);
  EXPECT_TRUE(ParseDecimalId("18446744073709551615", id));
  EXPECT_EQ(id, UINT64_MAX);
  EXPECT_TRUE(ParseDecimalId("0", id));
  EXPECT_EQ(id, 0u);
  id = 7;
  for (const char* bad : {"", "18446744073709551616", "-1", "+1", "1 ", "0x10", "1e3", "1.0"}) {
    EXPECT_FALSE(ParseDecimalId(bad, id)) << bad;
  }
  EXPECT_EQ(id, 7u) << "a rejected text leaves the value alone";
}

TEST(WireTextTest, NextPageTokenIsReadOffTheBodyOnlyWhenPlain) {
  std::string token;
  EXPECT_TRUE(PeekNextPageToken(R"({"entries":[{"path":"/a/\"next\":\"x"}],"next":"p1.3.4.2"})", token));
  EXPECT_EQ(token, "p1.3.4.2");
  EXPECT_TRUE(PeekNextPageToken(R"({"next" : "", "entries":[]})", token));
  EXPECT_EQ(token, "");
  EXPECT_FALSE(PeekNextPageToken(R"({"entries":[]})", token));
  EXPECT_FALSE(PeekNextPageToken(R"({"next":"a\u0041"})", token));  // escapes: left to the parser
  EXPECT_FALSE(PeekNextPageToken(R"({"next":"cut)", token));
}

// The mapping itself is exercised against the emulator; these are the cases no emulator fault reaches.
TEST(ErrorCodesTest, GarbledAnswersAreDroppedConnectionsAndEveryCodeFits) {
  // A garbled status line shows as an unsupported protocol: as broken as a dropped connection.
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_UNSUPPORTED_PROTOCOL), kErrorConnectionReset);
  EXPECT_TRUE(IsRetryableCurl(CURLE_UNSUPPORTED_PROTOCOL));
  EXPECT_TRUE(IsRetryableCurl(CURLE_WEIRD_SERVER_REPLY));
  for (long status : {400L, 401L, 404L, 409L}) EXPECT_FALSE(IsRetryableHttpStatus(status)) << status;
  // Every code becomes a Win32-style code that fits the status's 16 bits.
  for (int code = 1; code <= CURL_LAST + 5; ++code) EXPECT_LT(ErrorCodeFromCurl(code), 65536u) << code;
}

}  // namespace
}  // namespace Qumulo
