// The parser on canned bodies of the cluster's API: exact ids in either form, every record shape,
// names that are not UTF-8, and malformed answers that must end in a clear error rather than a
// crash or a half-filled list.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "ErrorCodes.h"
#include "Parser.h"
#include "WireText.h"

namespace Qumulo {
namespace {

std::string AllMessages(const CQiError& error) {
  std::string text;
  for (const auto& message : error.Messages()) text += message + "\n";
  return text;
}

std::string Describe(const CSnapshotInfo& s) {
  return std::to_string(s.m_id) + " " + s.m_name + " " + s.m_directoryName + " " + std::to_string(s.m_sourceFileId) +
         " " + std::to_string(s.m_timestamp) + " " + (s.m_hasExpiration ? s.m_expiration : "-") +
         (s.m_inDelete ? " deleting" : "");
}

std::string Describe(const CSnapshotDiffInfo& d) {
  return std::to_string(d.m_changeType) + (d.m_isDirectory ? " dir " : " file ") + d.m_path;
}

template <typename Record>
std::vector<std::string> DescribeAll(const std::list<Record>& records) {
  std::vector<std::string> described;
  for (const Record& record : records) described.push_back(Describe(record));
  return described;
}

std::string DiffBody(const std::vector<std::string>& encodedPaths, const std::string& paging) {
  std::string body = "{\"entries\": [";
  for (size_t i = 0; i < encodedPaths.size(); ++i) {
    body += (i ? ", " : "") + std::string("{\"op\": \"CREATE\", \"path\": ") + encodedPaths[i] + "}";
  }
  return body + "]" + paging + "}";
}

TEST(ParserTest, SnapshotRecordsTakeIdsInEitherFormExactly) {
  CParser parser;
  std::list<CSnapshotInfo> snapshots;
  const std::string body = R"({"entries": [
      {"id": 18446744073709551615, "name": "kwsnap_1_2_10_9007199254740993",
       "timestamp": "2024-02-04T19:29:48.136708478Z", "directory_name": "7_kwsnap_1_2_10_9007199254740993",
       "source_file_id": "9007199254740993", "created_by_policy": false, "expiration": "", "in_delete": false},
      {"id": "9007199254740995", "name": "other", "directory_name": "d", "source_file_id": 9007199254740997,
       "timestamp": "1970-01-02T01:00:00+01:00", "expiration": "2030-01-01T00:00:00Z", "in_delete": true,
       "future_field": [1, {}]},
      {"id": 3, "name": "v3-like", "directory_name": "3_v3-like", "source_file_id": "2", "expiration": null,
       "policy_id": null}]})";
  ASSERT_FALSE(parser.ParseSnapshotList(body, "GET /v2/snapshots/", snapshots).IsError());
  EXPECT_EQ(DescribeAll(snapshots),
            (std::vector<std::string>{
                "18446744073709551615 kwsnap_1_2_10_9007199254740993 7_kwsnap_1_2_10_9007199254740993 "
                "9007199254740993 1707074988 -",
                "9007199254740995 other d 9007199254740997 86400 2030-01-01T00:00:00Z deleting",
                "3 v3-like 3_v3-like 2 0 -"}));
}

TEST(ParserTest, WrongTypedAndMissingFieldsAreClearErrors) {
  CParser parser;
  struct Case {
    const char* body;
    const char* mentions;
  };
  const Case cases[] = {
      {R"({"entries": [{"id": "12a", "name": "n", "directory_name": "d", "source_file_id": "1"}]})", "\"id\""},
      {R"({"entries": [{"id": -7, "name": "n", "directory_name": "d", "source_file_id": "1"}]})", "\"id\""},
      {R"({"entries": [{"id": 1.5, "name": "n", "directory_name": "d", "source_file_id": "1"}]})", "\"id\""},
      {R"({"entries": [{"id": 1, "name": "n", "directory_name": "d", "source_file_id": null}]})",
       "\"source_file_id\""},
      {R"({"entries": [{"id": 1, "name": 5, "directory_name": "d", "source_file_id": "1"}]})", "\"name\""},
      {R"({"entries": [{"id": 1, "name": "n", "directory_name": "d", "source_file_id": "1", "in_delete": "no"}]})",
       "\"in_delete\""},
      {R"({"entries": [{"id": 1, "name": "n", "directory_name": "d", "source_file_id": "1", "timestamp": 5}]})",
       "\"timestamp\""},
      {R"({"entries": [{"id": 1, "name": "n", "directory_name": "d", "source_file_id": "1",
                        "timestamp": "2024-02-30 10:00:00"}]})",
       "RFC 3339"},
      {R"({"entries": [{"id": 1, "name": "n", "source_file_id": "1"}]})", "\"directory_name\""},
      {R"({"entries": [{"id": 1, "name": "n", "directory_name": "d", "source_file_id": "1"}, 7]})", "element 1"},
      {R"({"entries": {}})", "\"entries\""},
      {R"([])", "not a JSON object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::list<CSnapshotInfo> snapshots(1);
    CQiError error = parser.ParseSnapshotList(c.body, "GET /v2/snapshots/", snapshots);
    EXPECT_EQ(error.Win32Code(), kErrorInvalidData);
    EXPECT_NE(AllMessages(error).find(c.mentions), std::string::npos) << AllMessages(error);
    EXPECT_NE(AllMessages(error).find("GET /v2/snapshots/"), std::string::npos) << AllMessages(error);
    EXPECT_EQ(snapshots.size(), 1u) << "a failed parse leaves the caller's list as it was";
  }
}

TEST(ParserTest, DiffPageMapsOperationsAndTakesTheLinkVerbatim) {
  CParser parser;
  std::list<CSnapshotDiffInfo> page(1);
  std::string next = "stale";
  const std::string body =
      R"({"entries": [{"op": "CREATE", "path": "/fs/p/new/"},
                      {"path": "/fs/p/caf\u00e9 \"q\".c", "op": "MODIFY"},
                      {"op": "DELETE", "path": "/fs/p/gone/", "extra": {"a": [1]}}],
          "paging": {"next": "/v2/snapshots/9/changes-since/7?after=a%2Fb+c&limit=2"}})";
  ASSERT_FALSE(parser.ParseDiffPage(body, "GET diff", page, next).IsError());
  page.pop_front();
  EXPECT_EQ(DescribeAll(page), (std::vector<std::string>{"0 dir /fs/p/new/", "2 file /fs/p/caf\xc3\xa9 \"q\".c",
                                                         "1 dir /fs/p/gone/"}));
  EXPECT_EQ(next, "/v2/snapshots/9/changes-since/7?after=a%2Fb+c&limit=2");

  // Each of these ends the list.
  for (const char* last : {R"({"entries": [], "paging": {"next": ""}})", R"({"entries": [], "paging": {"next": null}})",
                           R"({"paging": {}, "entries": []})", R"({"entries": [], "paging": null})",
                           R"({"entries": []})"}) {
    SCOPED_TRACE(last);
    next = "stale";
    ASSERT_FALSE(parser.ParseDiffPage(last, "GET diff", page, next).IsError());
    EXPECT_EQ(next, "");
  }
  EXPECT_EQ(page.size(), 3u);
}

// Not JSON, not an object, an entry without a path, a link that is not text: a clear error that
// names the request, with the caller's page and token left as they were.
TEST(ParserTest, BadDiffPagesFailWithContext) {
  CParser parser;
  const char* const bodies[] = {
      "", "null", "[]", "\"text\"", "{", "\xff\xfe{}", R"({"entries": []}{})", R"({"paging": {"next": ""}})",
      R"({"entries": [{"op": "CREATE"}]})", R"({"entries": [{"op": 1, "path": "/a"}]})",
      R"({"entries": [{"op": "CREATE", "path": 7}]})", R"({"entries": [], "paging": {"next": 5}})",
      R"({"entries": [], "paging": "/v2/x"})",
      // Never a silent item: an operation the protocol lacks, a second list, a NUL in a name.
      R"({"entries": [{"op": "RENAME", "path": "/fs/p/x"}]})",
      R"({"entries": [{"op": "CREATE", "path": "/a"}], "entries": [{"op": "CREATE", "path": "/a"}]})",
      R"({"entries": [{"op": "CREATE", "path": "/fs/a\u0000/../../etc"}]})",
      // Raw bytes that are not UTF-8 are names' bytes only inside strings, and in one form per name.
      "{\"entries\": [{\"op\": \"CREATE\", \"path\": \"/fs/\xff\"}]}\xff",
      "{\"entries\": [{\"op\": \"CREATE\", \"path\": \"/fs/\xff\\udcfe\"}]}",
      "{\"entries\": [{\"op\": \"CREATE\", \"path\": \"/fs/\xff\\x41\"}]}",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    std::list<CSnapshotDiffInfo> page;
    std::string next = "unchanged";
    CQiError error = parser.ParseDiffPage(body, "GET /v2/snapshots/2/changes-since/1", page, next);
    EXPECT_EQ(error.Win32Code(), kErrorInvalidData);
    EXPECT_NE(AllMessages(error).find("GET /v2/snapshots/2/changes-since/1"), std::string::npos);
    EXPECT_TRUE(page.empty());
    EXPECT_EQ(next, "unchanged");
  }
}

// Names are bytes. Whatever the bytes, the wire form the cluster sends decodes to exactly them, so
// two different names never read alike; only the one wire form of each name is accepted.
TEST(ParserTest, NamesComeBackAsTheirExactBytes) {
  std::mt19937 random(20261206);
  const std::vector<std::string> pieces = {
      "\xff", "\x80", "\xc3", "\xa9", "\xe2\x82", "\xed\xa0\x80", "\xf4\x8f\xbd\xab", "\xf4\x8f\xbc\x80", "\\udc80",
      "\\udcff", "\\", "\"", "\xc3\xa9", "a", "/", "wsnap_7_2_5_1", "\x01", "\xc0\xaf", "\xf5\x80\x80\x80"};
  std::vector<std::string> names = {"\xf4\x8f\xbd\xabwsnap_7_2_5_1", "\xffwsnap_7_2_5_1", "\\udc6bwsnap_7_2_5_1"};
  for (int i = 0; i < 400; ++i) {
    std::string name = "/fs/p/";
    const int count = 1 + static_cast<int>(random() % 6);
    for (int k = 0; k < count; ++k) {
      if (random() % 3 == 0) {
        name += static_cast<char>(1 + random() % 255);  // any byte a name may hold: all but NUL
      } else {
        name += pieces[random() % pieces.size()];
      }
    }
    names.push_back(name);
  }
  std::vector<std::string> encoded;
  std::set<std::string> distinct(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string json;
    AppendJsonString(json, name);
    encoded.push_back(json);
  }
  CParser parser;
  std::list<CSnapshotDiffInfo> page;
  std::string next;
  CQiError result = parser.ParseDiffPage(DiffBody(encoded, ""), "GET diff", page, next);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  ASSERT_EQ(page.size(), names.size());
  std::set<std::string> decoded;
  std::vector<std::string>::const_iterator name = names.begin();
  for (const CSnapshotDiffInfo& item : page) {
    EXPECT_EQ(item.m_path, *name++);
    decoded.insert(item.m_path);
  }
  EXPECT_EQ(decoded.size(), distinct.size());
  EXPECT_EQ(encoded[0], "\"\xf4\x8f\xbd\xabwsnap_7_2_5_1\"") << "a genuine U+10FF6B travels as itself";
  EXPECT_EQ(encoded[1], "\"\\udcffwsnap_7_2_5_1\"");

  // A cluster may instead send the bytes raw inside the strings: the same names come back.
  std::vector<std::string> raw;
  for (const std::string& plain : names) {
    std::string json = "\"";
    for (char c : plain) {
      if (static_cast<unsigned char>(c) < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", c);
        json += escape;
      } else {
        if (c == '"' || c == '\\') json += '\\';
        json += c;
      }
    }
    raw.push_back(json + "\"");
  }
  page.clear();
  result = parser.ParseDiffPage(DiffBody(raw, ""), "GET diff", page, next);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  ASSERT_EQ(page.size(), names.size());
  name = names.begin();
  for (const CSnapshotDiffInfo& item : page) EXPECT_EQ(item.m_path, *name++);

  // Other forms of the same bytes, and escapes that stand for no byte, are refused.
  for (const char* path : {R"("\udcc3\udca9")", R"("\udc41")", R"("\udc7f")", R"("\ud800")", R"("\udfff")", R"("\ud800x")",
                           R"("\udce2\udc82\udcac")", R"("\x")"}) {
    SCOPED_TRACE(path);
    page.clear();
    EXPECT_EQ(parser.ParseDiffPage(DiffBody({path}, ""), "GET diff", page, next).Win32Code(), kErrorInvalidData);
  }
  // A pair of surrogates is a character, and \u escapes of ordinary characters are the characters.
  page.clear();
  ASSERT_FALSE(parser.ParseDiffPage(DiffBody({R"("\udbff\udf6b\u00e9\/")"}, ""), "GET diff", page, next).IsError());
  EXPECT_EQ(page.front().m_path, "\xf4\x8f\xbd\xab\xc3\xa9/");
}

// Every cut of a valid body, as a dropped or truncated answer would leave it, must fail cleanly.
TEST(ParserTest, EveryTruncationOfADiffPageFailsCleanly) {
  CParser parser;
  const std::string body =
      R"({"entries": [{"op": "CREATE", "path": "/fs/p/new/"},)"
      R"({"op": "MODIFY", "path": "/fs/p/a\"b\udcff"}], "paging": {"next": "/v2/snapshots/2/changes-since/1?after=x"}})";
  for (size_t length = 0; length < body.size(); ++length) {
    std::list<CSnapshotDiffInfo> page;
    std::string next;
    const std::string cut = body.substr(0, length);
    CQiError error = parser.ParseDiffPage(cut, "GET diff", page, next);
    EXPECT_TRUE(error.IsError()) << "accepted a body cut at " << length << ": " << cut;
    EXPECT_TRUE(page.empty());
  }
}

TEST(ParserTest, AttributesAndExports) {
  CParser parser;
  CDirectoryEntry entry;
  const char kDirectory[] = R"({"path": "/fs/projects/", "name": "projects", "num_links": 2,
      "type": "FS_FILE_TYPE_DIRECTORY", "size": "4096", "id": "9007199254740993", "file_number": "9007199254740993",
      "owner": "10", "group": "domain users", "mode": "0755", "child_count": 3, "change_time": "2024-02-04T19:29:48.1Z",
      "modification_time": "2024-02-04T19:29:49Z", "creation_time": "2024-02-04T19:29:50Z",
      "access_time": "2024-02-04T19:29:51Z"})";
  ASSERT_FALSE(parser.ParseDirectoryEntry(kDirectory, "GET attrs", entry).IsError());
  EXPECT_TRUE(entry.m_isDirectory);
  EXPECT_EQ(std::to_string(entry.m_fileId) + " " + entry.m_path + " " + std::to_string(entry.m_size) + " " +
                std::to_string(entry.m_numLinks) + " " + std::to_string(entry.m_owner) + " " +
                std::to_string(entry.m_group) + " " + std::to_string(entry.m_changeTime) + " " +
                std::to_string(entry.m_modificationTime) + " " + std::to_string(entry.m_creationTime),
            "9007199254740993 /fs/projects/ 4096 2 10 0 1707074988 1707074989 1707074990");
  const char kSymlink[] = R"({"id": "5", "path": "/fs/a", "type": "FS_FILE_TYPE_SYMLINK"})";
  ASSERT_FALSE(parser.ParseDirectoryEntry(kSymlink, "GET", entry).IsError());
  EXPECT_FALSE(entry.m_isDirectory);

  CDirectoryEntry untouched;
  untouched.m_fileId = 42;
  const char kWithoutId[] = R"({"path": "/fs/", "type": "FS_FILE_TYPE_DIRECTORY"})";
  EXPECT_TRUE(parser.ParseDirectoryEntry(kWithoutId, "GET", untouched).IsError());
  EXPECT_EQ(untouched.m_fileId, 42u);

  // v2 answers a top-level array, v3 the same array as "entries"; both keep the cluster's order.
  const char kExports[] = R"([{"id": "2", "export_path": "/", "fs_path": "/fs", "description": "root",
                                "restrictions": [{"read_only": false}], "fields_to_present_as_32_bit": [],
                                "tenant_id": 3},
                               {"id": "1", "export_path": "/projects", "fs_path": "/fs/projects", "description": ""}])";
  for (const std::string& body : {std::string(kExports), "{\"entries\": " + std::string(kExports) + "}"}) {
    SCOPED_TRACE(body);
    std::list<CNFSExportEntry> exports;
    ASSERT_FALSE(parser.ParseNFSExports(body, "GET /v2/nfs/exports/", exports).IsError());
    ASSERT_EQ(exports.size(), 2u);
    EXPECT_EQ(exports.front().m_exportPath + " " + exports.front().m_fsPath + " " + exports.front().m_description,
              "/ /fs root");
    EXPECT_EQ(exports.back().m_id, 1u);
    EXPECT_EQ(exports.back().m_exportPath, "/projects");
  }
  std::list<CNFSExportEntry> exports(1);
  for (const char* bad : {R"([{"id": "1", "fs_path": "/fs"}])", R"({"exports": []})", R"([1])", R"([] [])", "7"}) {
    EXPECT_EQ(parser.ParseNFSExports(bad, "GET", exports).Win32Code(), kErrorInvalidData) << bad;
  }
  EXPECT_EQ(exports.size(), 1u);
}

TEST(ParserTest, LoginTokenAndErrorDescriptions) {
  CParser parser;
  std::string token;
  ASSERT_FALSE(parser.ParseLoginToken(R"({"bearer_token": "1:abc"})", "POST login", token).IsError());
  EXPECT_EQ(token, "1:abc");
  EXPECT_TRUE(parser.ParseLoginToken(R"({"token": "x"})", "POST login", token).IsError());
  EXPECT_TRUE(parser.ParseLoginToken(R"({"bearer_token": ""})", "POST login", token).IsError());
  EXPECT_EQ(token, "1:abc");

  EXPECT_EQ(parser.ParseErrorDescription(
                R"({"module": "qfsd", "error_class": "fs_no_such_entry_error", "description": "fs_no_such_entry_error: { path: /x }", "stack": [], "user_visible": true})"),
            "fs_no_such_entry_error: fs_no_such_entry_error: { path: /x }");
  EXPECT_EQ(parser.ParseErrorDescription(R"({"description": "line\none"})"), "line one");
  EXPECT_EQ(parser.ParseErrorDescription(R"({"error_class": "http_not_found_error"})"), "http_not_found_error");
  EXPECT_EQ(parser.ParseErrorDescription("<html>Bad gateway</html>"), "");
  EXPECT_EQ(parser.ParseErrorDescription(""), "");
  EXPECT_EQ(parser.ParseErrorDescription(R"({"description": 12})"), "");
  const std::string longMessage(5000, 'x');
  EXPECT_LE(parser.ParseErrorDescription(R"({"description": ")" + longMessage + "\"}").size(), 512u);
}

}  // namespace
}  // namespace Qumulo
