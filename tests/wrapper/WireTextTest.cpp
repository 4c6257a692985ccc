// Request text, wire forms of values, and the error codes that no emulator fault reaches.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "ErrorCodes.h"
#include "WireText.h"

namespace Qumulo {
namespace {

TEST(WireTextTest, PathsTravelAsOneUriComponent) {
  EXPECT_EQ(PercentEncode("/fs/projects/a-b_c.d~e"), "%2Ffs%2Fprojects%2Fa-b_c.d~e");
  EXPECT_EQ(PercentEncode("/fs/a b&c=d?e#f%g+h"), "%2Ffs%2Fa%20b%26c%3Dd%3Fe%23f%25g%2Bh");
  EXPECT_EQ(PercentEncode("/caf\xc3\xa9\xff"), "%2Fcaf%C3%A9%FF");
  EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(WireTextTest, DecimalIdsAreExactAndStrict) {
  uint64_t id = 7;
  EXPECT_TRUE(ParseDecimalId("9007199254740993", id));
  EXPECT_EQ(id, 9007199254740993ull);
  EXPECT_TRUE(ParseDecimalId("18446744073709551615", id));
  EXPECT_EQ(id, UINT64_MAX);
  id = 7;
  for (const char* bad : {"", "18446744073709551616", "-1", "+1", "1 ", "0x10", "1e3", "1.0"}) {
    EXPECT_FALSE(ParseDecimalId(bad, id)) << bad;
  }
  EXPECT_EQ(id, 7u) << "a rejected text leaves the value alone";
}

// Every valid time, before 1970 and with any offset or fraction; no impossible date.
TEST(WireTextTest, Rfc3339Times) {
  const std::pair<const char*, int64_t> good[] = {
      {"2024-02-04T19:29:48.136708478Z", 1707074988},
      {"2024-02-04T20:29:48+01:00", 1707074988},
      {"2024-02-04T19:29:48.1Z", 1707074988},
      {"2000-03-01t00:00:00z", 951868800},
      {"1969-12-31T23:59:59Z", -1},
      {"1965-03-01T12:00:00.5-05:30", -152605800},
      {"0000-01-01T00:00:00Z", -62167219200},
      {"2024-02-29T00:00:00Z", 1709164800},
  };
  for (const auto& [text, expected] : good) {
    int64_t seconds = 7;
    EXPECT_TRUE(ParseRfc3339(text, seconds)) << text;
    EXPECT_EQ(seconds, expected) << text;
  }
  int64_t seconds = 7;
  for (const char* bad : {"", "2024-02-04", "2024-02-04T19:29:48", "2024-13-04T19:29:48Z", "2024-02-04T19:29:48.Z",
                          "2024-02-04T19:29:48Zx", "2024-02-04 19:29:48Z", "1707074988", "2024-02-31T00:00:00Z",
                          "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2024-04-31T00:00:00Z"}) {
    EXPECT_FALSE(ParseRfc3339(bad, seconds)) << bad;
  }
  EXPECT_EQ(seconds, 7);
}

// A page link is requested on the cluster's own host: nothing may name another one.
TEST(WireTextTest, OnlyRelativeUrisArePageLinks) {
  EXPECT_TRUE(IsRelativeUri("/v2/snapshots/9/changes-since/7?after=K2&limit=L"));
  EXPECT_TRUE(IsRelativeUri("/"));
  for (const char* bad : {"", "v2/x", "//evil.example/x", "https://evil.example/x", "/\\evil.example", "/a b",
                          "/a\r\nHost: x", "/caf\xc3\xa9", "not a token/&="}) {
    EXPECT_FALSE(IsRelativeUri(bad)) << bad;
  }
}

TEST(WireTextTest, NextPageLinkIsReadOffTheBodyOnlyWhenPlain) {
  std::string token;
  EXPECT_TRUE(PeekNextPageToken(R"({"entries":[{"path":"/a/\"next\":\"x"}],"paging":{"next":"/p?after=3"}})", token));
  EXPECT_EQ(token, "/p?after=3");
  EXPECT_TRUE(PeekNextPageToken(R"({"paging": {"next" : ""}, "entries":[]})", token));
  EXPECT_EQ(token, "");
  EXPECT_FALSE(PeekNextPageToken(R"({"entries":[]})", token));
  EXPECT_FALSE(PeekNextPageToken(R"({"paging":{"next":null}})", token));
  EXPECT_FALSE(PeekNextPageToken(R"({"paging":{"next":"\/a"}})", token));  // escapes: left to the parser
  EXPECT_FALSE(PeekNextPageToken(R"({"paging":{"next":"cut)", token));
  // Only the top object's paging.next is the link, as the parser reads it.
  EXPECT_FALSE(PeekNextPageToken(R"({"entries":[{"op":"CREATE","path":"/a","next":"/evil"}],"paging":{}})", token));
  EXPECT_FALSE(PeekNextPageToken(R"({"entries":[{"paging":{"next":"/evil"}}]})", token));
  EXPECT_FALSE(PeekNextPageToken(R"({"next":"/evil","paging":{"other":{"next":"/evil"}}})", token));
  EXPECT_TRUE(PeekNextPageToken(R"({"paging":{"next":"/p1"},"entries":[{"next":"/evil"}],"paging":{"next":"/p2"}})",
                                token));
  EXPECT_EQ(token, "/p2");
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
