// Request text and the one table of error codes.
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

TEST(ErrorCodesTest, HttpStatuses) {
  EXPECT_EQ(ErrorCodeFromHttpStatus(400), kErrorInvalidParameter);
  EXPECT_EQ(ErrorCodeFromHttpStatus(401), kErrorAccessDenied);
  EXPECT_EQ(ErrorCodeFromHttpStatus(404), kErrorNotFound);
  EXPECT_EQ(ErrorCodeFromHttpStatus(409), kErrorConflict);
  EXPECT_EQ(ErrorCodeFromHttpStatus(429), kErrorBusy);
  EXPECT_EQ(ErrorCodeFromHttpStatus(503), kErrorInternal);
  EXPECT_EQ(ErrorCodeFromHttpStatus(302), kErrorNotSupported);
  EXPECT_EQ(ErrorCodeFromHttpStatus(418), kErrorNotSupported);
  for (long status : {429L, 500L, 502L, 503L, 504L}) EXPECT_TRUE(IsRetryableHttpStatus(status)) << status;
  for (long status : {400L, 401L, 404L, 409L, 302L}) EXPECT_FALSE(IsRetryableHttpStatus(status)) << status;
}

TEST(ErrorCodesTest, CurlCodes) {
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_PEER_FAILED_VERIFICATION), kErrorSecureFailure);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_SSL_CONNECT_ERROR), kErrorSecureFailure);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_SSL_CACERT_BADFILE), kErrorSecureFailure);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_COULDNT_CONNECT), kErrorConnectionRefused);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_OPERATION_TIMEDOUT), kErrorTimeout);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_GOT_NOTHING), kErrorConnectionReset);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_URL_MALFORMAT), kErrorInvalidParameter);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_UNSUPPORTED_PROTOCOL), kErrorConnectionReset);
  EXPECT_EQ(ErrorCodeFromCurl(CURLE_TOO_MANY_REDIRECTS), kErrorUnexpectedNetwork);

  EXPECT_TRUE(IsRetryableCurl(CURLE_OPERATION_TIMEDOUT));
  EXPECT_TRUE(IsRetryableCurl(CURLE_RECV_ERROR));
  EXPECT_TRUE(IsRetryableCurl(CURLE_GOT_NOTHING));
  EXPECT_FALSE(IsRetryableCurl(CURLE_COULDNT_CONNECT));
  EXPECT_FALSE(IsRetryableCurl(CURLE_PEER_FAILED_VERIFICATION));
  // Every code becomes a Win32-style code that fits the status's 16 bits.
  for (int code = 1; code <= CURL_LAST + 5; ++code) EXPECT_LT(ErrorCodeFromCurl(code), 65536u) << code;
}

}  // namespace
}  // namespace Qumulo
