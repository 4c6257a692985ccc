// The parser on canned bodies: exact ids, every record shape, and malformed answers that must end in
// a clear error rather than a crash or a half-filled list.
#include <gtest/gtest.h>

#include <string>

#include "ErrorCodes.h"
#include "Parser.h"

namespace Qumulo {
namespace {

std::string AllMessages(const CQiError& error) {
  std::string text;
  for (const auto& message : error.Messages()) text += message + "\n";
  return text;
}

const char kSnapshotRecord[] =
    R"({"id": "18446744073709551615", "name": "kwsnap_1_2_10_9007199254740993",
        "directory_name": "7_kwsnap_1_2_10_9007199254740993", "source_file_id": "9007199254740993",
        "source_path": "/fs/projects/", "timestamp": 1765000000, "expiration": "", "in_delete": false})";

TEST(ParserTest, SnapshotListKeepsIdsAbove2To53Exact) {
  CParser parser;
  std::list<CSnapshotInfo> snapshots;
  const std::string body = std::string(R"({"entries": [)") + kSnapshotRecord +
                           R"(, {"id": "9007199254740995", "name": "other", "directory_name": "d",
                                 "source_file_id": "9007199254740997", "timestamp": 5,
                                 "expiration": "2030-01-01T00:00:00Z", "in_delete": true, "future_field": [1, {}]}]})";
  ASSERT_FALSE(parser.ParseSnapshotList(body, "GET /v1/snapshots", snapshots).IsError());
  // id, name, directory, source id, time, expiration, in delete
  std::vector<std::string> described;
  for (const CSnapshotInfo& s : snapshots) {
    described.push_back(std::to_string(s.m_id) + " " + s.m_name + " " + s.m_directoryName + " " +
                        std::to_string(s.m_sourceFileId) + " " + std::to_string(s.m_timestamp) + " " +
                        (s.m_hasExpiration ? s.m_expiration : "-") + (s.m_inDelete ? " deleting" : ""));
  }
  EXPECT_EQ(described, (std::vector<std::string>{
                           "18446744073709551615 kwsnap_1_2_10_9007199254740993 7_kwsnap_1_2_10_9007199254740993 "
                           "9007199254740993 1765000000 -",
                           "9007199254740995 other d 9007199254740997 5 2030-01-01T00:00:00Z deleting"}));
}

// Ids that are no exact decimal string are refused by ParseDecimalId (WireTextTest); here, that the
// parser uses it, and refuses a JSON number, which may have lost digits.
TEST(ParserTest, WrongTypedAndMissingFieldsAreClearErrors) {
  CParser parser;
  struct Case {
    const char* body;
    const char* mentions;
  };
  const Case cases[] = {
      {R"({"entries": [{"id": "12a", "name": "n", "directory_name": "d", "source_file_id": "1"}]})", "\"id\""},
      {R"({"entries": [{"id": 9007199254740993, "name": "n", "directory_name": "d", "source_file_id": "1"}]})",
       "\"id\""},
      {R"({"entries": [{"id": "1", "name": "n", "directory_name": "d", "source_file_id": null}]})",
       "\"source_file_id\""},
      {R"({"entries": [{"id": "1", "name": 5, "directory_name": "d", "source_file_id": "1"}]})", "\"name\""},
      {R"({"entries": [{"id": "1", "name": "n", "directory_name": "d", "source_file_id": "1", "in_delete": "no"}]})",
       "\"in_delete\""},
      {R"({"entries": [{"id": "1", "name": "n", "directory_name": "d", "source_file_id": "1", "timestamp": -4}]})",
       "\"timestamp\""},
      {R"({"entries": [{"id": "1", "name": "n", "source_file_id": "1"}]})", "\"directory_name\""},
      {R"({"entries": [{"id": "1", "name": "n", "directory_name": "d", "source_file_id": "1"}, 7]})", "element 1"},
      {R"({"entries": {}})", "\"entries\""},
      {R"({"snapshots": []})", "\"entries\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::list<CSnapshotInfo> snapshots(1);
    CQiError error = parser.ParseSnapshotList(c.body, "GET /v1/snapshots", snapshots);
    EXPECT_EQ(error.Win32Code(), kErrorInvalidData);
    EXPECT_NE(AllMessages(error).find(c.mentions), std::string::npos) << AllMessages(error);
    EXPECT_NE(AllMessages(error).find("GET /v1/snapshots"), std::string::npos) << AllMessages(error);
    EXPECT_EQ(snapshots.size(), 1u) << "a failed parse leaves the caller's list as it was";
  }
}

TEST(ParserTest, DiffPageMapsOperationsAndUnescapesPaths) {
  CParser parser;
  std::list<CSnapshotDiffInfo> page(1);
  std::string next = "stale";
  const std::string body =
      R"({"entries": [{"op": "created", "type": "directory", "path": "/fs/p/new/"},
                      {"path": "/fs/p/caf\u00e9 \"q\".c", "type": "file", "op": "modified"},
                      {"op": "deleted", "type": "file", "path": "/fs/p/gone"},
                      {"op": "renamed", "type": "file", "path": "/fs/p/x", "extra": {"a": [1]}}],
          "next": "tok+/="})";
  ASSERT_FALSE(parser.ParseDiffPage(body, "GET diff", page, next).IsError());
  ASSERT_EQ(page.size(), 5u);
  auto it = std::next(page.begin());
  EXPECT_EQ(it->m_path, "/fs/p/new/");
  EXPECT_EQ(it->m_changeType, kSnapshotChangeCreated);
  EXPECT_TRUE(it->m_isDirectory);
  ++it;
  EXPECT_EQ(it->m_path, "/fs/p/caf\xc3\xa9 \"q\".c");
  EXPECT_EQ(it->m_changeType, kSnapshotChangeModified);
  EXPECT_FALSE(it->m_isDirectory);
  ++it;
  EXPECT_EQ(it->m_changeType, kSnapshotChangeDeleted);
  ++it;
  EXPECT_EQ(it->m_changeType, kSnapshotChangeUnknown);
  EXPECT_EQ(next, "tok+/=");

  ASSERT_FALSE(parser.ParseDiffPage(R"({"entries": [], "next": ""})", "GET diff", page, next).IsError());
  EXPECT_EQ(next, "");
  EXPECT_EQ(page.size(), 5u);
}

// Not JSON, not an object, no "next", an entry without a path: a clear error that names the
// request, with the caller's page and token left as they were.
TEST(ParserTest, BadDiffPagesFailWithContext) {
  CParser parser;
  const char* const bodies[] = {
      "", "null", "[]", "\"text\"", "{", "\xff\xfe{}", R"({"entries": [], "next": ""}{})", R"({"entries": []})",
      R"({"entries": [{"op": "created", "type": "file"}], "next": ""})",
      R"({"entries": [{"op": 1, "type": "file", "path": "/a"}], "next": ""})",
      R"({"entries": [{"op": "created", "type": "file", "path": "/a"}], "next": null})",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    std::list<CSnapshotDiffInfo> page;
    std::string next = "unchanged";
    CQiError error = parser.ParseDiffPage(body, "GET /v1/snapshots/2/changes-since/1", page, next);
    EXPECT_EQ(error.Win32Code(), kErrorInvalidData);
    EXPECT_NE(AllMessages(error).find("GET /v1/snapshots/2/changes-since/1"), std::string::npos);
    EXPECT_TRUE(page.empty());
    EXPECT_EQ(next, "unchanged");
  }
}

// File names are bytes: a name in another encoding must come through exactly, not fail the page.
TEST(ParserTest, PathsThatAreNotUtf8KeepTheirExactBytes) {
  CParser parser;
  const std::string latin = "/fs/p/pr\xf6jekt\xff";
  const std::string cutShort = "/fs/p/a\xe2\x82";    // a sequence that stops early
  const std::string surrogate = "/fs/p/\xed\xa0\x80";  // not allowed in UTF-8
  const std::string privateUse = "/fs/p/\xf4\x8f\xbd\x81";  // a valid U+10FF41 stays what it is
  const std::string body = "{\"entries\": [{\"op\": \"created\", \"type\": \"file\", \"path\": \"" + latin +
                           "\"}, {\"op\": \"created\", \"type\": \"file\", \"path\": \"" + cutShort +
                           "\"}, {\"op\": \"created\", \"type\": \"file\", \"path\": \"" + surrogate +
                           "\"}, {\"op\": \"created\", \"type\": \"file\", \"path\": \"/fs/p/\xc3\xbc\"}], \"next\": \"\"}";
  std::list<CSnapshotDiffInfo> page;
  std::string next;
  CQiError result = parser.ParseDiffPage(body, "GET diff", page, next);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  ASSERT_EQ(page.size(), 4u);
  auto it = page.begin();
  EXPECT_EQ((it++)->m_path, latin);
  EXPECT_EQ((it++)->m_path, cutShort);
  EXPECT_EQ((it++)->m_path, surrogate);
  EXPECT_EQ((it++)->m_path, "/fs/p/\xc3\xbc");

  page.clear();
  const std::string valid = "{\"entries\": [{\"op\": \"created\", \"type\": \"file\", \"path\": \"" + privateUse +
                            "\"}], \"next\": \"\"}";
  ASSERT_FALSE(parser.ParseDiffPage(valid, "GET diff", page, next).IsError());
  EXPECT_EQ(page.front().m_path, privateUse);
}

// Every cut of a valid body, as a dropped or truncated answer would leave it, must fail cleanly.
TEST(ParserTest, EveryTruncationOfADiffPageFailsCleanly) {
  CParser parser;
  const std::string body =
      R"({"entries": [{"op": "created", "type": "directory", "path": "/fs/p/new/"},)"
      R"({"op": "modified", "type": "file", "path": "/fs/p/a\"b"}], "next": "t1"})";
  for (size_t length = 0; length < body.size(); ++length) {
    std::list<CSnapshotDiffInfo> page;
    std::string next;
    const std::string cut = body.substr(0, length);
    CQiError error = parser.ParseDiffPage(cut, "GET diff", page, next);
    EXPECT_TRUE(error.IsError()) << "accepted a body cut at " << length << ": " << cut;
    EXPECT_TRUE(page.empty());
  }
}

TEST(ParserTest, DirectoryEntryAndExports) {
  CParser parser;
  CDirectoryEntry entry;
  ASSERT_FALSE(parser
                   .ParseDirectoryEntry(
                       R"({"id": "9007199254740993", "path": "/fs/projects/", "name": "projects", "type": "directory",
                           "size": 4096, "num_links": 2, "owner": 10, "group": 20, "change_time": 1765000001,
                           "modification_time": 1765000002, "creation_time": 1765000003})",
                       "GET attrs", entry)
                   .IsError());
  EXPECT_TRUE(entry.m_isDirectory);
  EXPECT_EQ(std::to_string(entry.m_fileId) + " " + entry.m_path + " " + std::to_string(entry.m_size) + " " +
                std::to_string(entry.m_numLinks) + " " + std::to_string(entry.m_owner) + " " +
                std::to_string(entry.m_group) + " " + std::to_string(entry.m_changeTime) + " " +
                std::to_string(entry.m_modificationTime) + " " + std::to_string(entry.m_creationTime),
            "9007199254740993 /fs/projects/ 4096 2 10 20 1765000001 1765000002 1765000003");

  CDirectoryEntry untouched;
  untouched.m_fileId = 42;
  EXPECT_TRUE(parser.ParseDirectoryEntry(R"({"path": "/fs/", "type": "directory"})", "GET attrs", untouched).IsError());
  EXPECT_EQ(untouched.m_fileId, 42u);

  std::list<CNFSExportEntry> exports;
  ASSERT_FALSE(parser
                   .ParseNFSExports(R"({"exports": [
                       {"id": "2", "export_path": "/", "fs_path": "/fs", "description": "root"},
                       {"id": "1", "export_path": "/projects", "fs_path": "/fs/projects", "description": ""}]})",
                                    "GET /v1/nfs/exports", exports)
                   .IsError());
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports.front().m_exportPath, "/");
  EXPECT_EQ(exports.front().m_fsPath, "/fs");
  EXPECT_EQ(exports.front().m_description, "root");
  EXPECT_EQ(exports.back().m_id, 1u);
  EXPECT_EQ(exports.back().m_exportPath, "/projects");
  EXPECT_TRUE(parser.ParseNFSExports(R"({"exports": [{"id": "1", "fs_path": "/fs"}]})", "GET", exports).IsError());
  EXPECT_EQ(exports.size(), 2u);
}

TEST(ParserTest, LoginTokenAndErrorMessages) {
  CParser parser;
  std::string token;
  ASSERT_FALSE(parser.ParseLoginToken(R"({"bearer_token": "abc", "expires_in": 3600})", "POST login", token).IsError());
  EXPECT_EQ(token, "abc");
  EXPECT_TRUE(parser.ParseLoginToken(R"({"expires_in": 3600})", "POST login", token).IsError());
  EXPECT_TRUE(parser.ParseLoginToken(R"({"bearer_token": ""})", "POST login", token).IsError());
  EXPECT_EQ(token, "abc");

  EXPECT_EQ(parser.ParseErrorMessage(R"({"error": "not_found", "message": "no such path /fs/x"})"),
            "no such path /fs/x");
  EXPECT_EQ(parser.ParseErrorMessage(R"({"error": "internal", "message": "line\none"})"), "line one");
  EXPECT_EQ(parser.ParseErrorMessage("<html>Bad gateway</html>"), "");
  EXPECT_EQ(parser.ParseErrorMessage(""), "");
  EXPECT_EQ(parser.ParseErrorMessage(R"({"message": 12})"), "");
  const std::string longMessage(5000, 'x');
  EXPECT_LE(parser.ParseErrorMessage(R"({"message": ")" + longMessage + "\"}").size(), 512u);
}

}  // namespace
}  // namespace Qumulo
