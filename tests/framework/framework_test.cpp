// The framework stand-in at its edges: string and path helpers, the error stack, the log guard and
// the stream owner.

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "FXErrorUtil.h"
#include "FXPath.h"
#include "FXString.h"
#include "FileLogWriter.h"
#include "auto_fileptr.h"
#include "snaptest/temp_dir.h"

namespace {

TEST(FXStringTest, MatchLeftReplaceLeftRemoveRightAtTheirEdges) {
  EXPECT_FALSE(FXString::MatchLeft("kw", "kwsnap"));  // shorter than the prefix
  EXPECT_TRUE(FXString::MatchLeft("kwsnap_1_2_", "kwsnap_1_2_"));
  const struct {
    std::string s, from, to, after;
    bool replaced;
  } replaces[] = {{"/fs/a", "", "/pre", "/pre/fs/a", true},  // an empty `from` prepends
                  {"/fs/a/b", "/fs/a", "/mnt/x", "/mnt/x/b", true},
                  {"/other", "/fs", "/mnt", "/other", false}};
  for (auto r : replaces) {
    EXPECT_EQ(FXString::ReplaceLeft(r.s, r.from, r.to), r.replaced) << r.from;
    EXPECT_EQ(r.s, r.after);
  }
  for (const auto& [before, after] : {std::pair<std::string, std::string>{"/", ""}, {"/a//", "/a/"}}) {
    std::string s = before;
    FXString::RemoveRight(s, "/");  // only one
    EXPECT_EQ(s, after);
  }
  std::string big(1000, 'x');  // longer than any fixed buffer
  EXPECT_EQ(FXString::Format("[%s]_%lu", big.c_str(), 12UL), "[" + big + "]_12");
}

TEST(FXPathTest, AppendKeepsExactlyOneDelimiter) {
  for (std::string p : {"/mnt/p/", "/mnt/p"}) {
    FXPath::AppendTrailingDelimiter(p).IgnoreError();
    EXPECT_EQ(p, "/mnt/p/");
  }
  std::string p = "/";
  FXPath::Append(p, "x", 0).IgnoreError();
  EXPECT_EQ(p, "/x");
}

TEST(FXPathTest, AncestryIsByComponentAndTheFlagAdmitsTheBaseItself) {
  EXPECT_TRUE(FXPath::IsAncestorOf("/mnt/proj", "/mnt/proj", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/mnt/proj", "/mnt/proj", false));
  EXPECT_TRUE(FXPath::IsAncestorOf("/mnt/proj/", "/mnt/proj", true));  // trailing "/" ignored
  EXPECT_TRUE(FXPath::IsAncestorOf("/mnt/proj", "/mnt/proj/a/b", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/mnt/proj", "/mnt/project", true));
  EXPECT_FALSE(FXPath::IsAncestorOf("/mnt/proj/a", "/mnt/proj", true));
  EXPECT_TRUE(FXPath::IsAncestorOf("/", "/anything", true));
  EXPECT_TRUE(FXPath::IsDescendantOf("/projects/team", "/projects", true));
  EXPECT_FALSE(FXPath::IsDescendantOf("/projects", "/projects/team", true));
}

TEST(CQiErrorTest, StackReadsInnermostFirstAndSuccessStaysSuccess) {
  CQiError pushed = CQiError::Success().Push(FXCodeLocation("F", "f()", 1), "ignored");
  EXPECT_FALSE(pushed.IsError());
  EXPECT_EQ(pushed.Win32Code(), 0u);
  EXPECT_TRUE(pushed.LocationStack().empty());

  CQiError error = FXErrorUtil::ErrorWin32(FXCodeLocation("QumuloSnapClient", "inner()", 10), 774, "missing %s", "x");
  EXPECT_TRUE(error.IsError());
  EXPECT_LT(error.Status(), 0);
  error = error.Push(FXCodeLocation("QumuloSnapClient", "middle()", 20));
  error = error.Push(FXCodeLocation("QumuloSnapClient", "outer()", 30), "context %d", 7);

  std::vector<std::string> stack = error.LocationStack();
  ASSERT_EQ(stack.size(), 3u);
  EXPECT_EQ(stack[0], "QumuloSnapClient: inner():10: missing x");
  EXPECT_EQ(stack[1], "QumuloSnapClient: middle():20");
  EXPECT_EQ(stack[2], "QumuloSnapClient: outer():30: context 7");
  EXPECT_EQ(error.Messages(), (std::vector<std::string>{"missing x", "context 7"}));
  EXPECT_EQ(error.Win32Code(), 774u);  // pushing never changes the code
  EXPECT_NE(error.ToString().find("error 774"), std::string::npos);
}

TEST(LogGuardTest, LinesBelowTheCurrentLevelAreNotWritten) {
  ScopedLogCapture capture(2);
  for (int level : {0, 1, 2, 3, 6}) {
    if (FXLogEnabled(level)) g_ptrLogWriter->Write(level, "f()", 1, 0, 0, "level %d", level);
  }
  EXPECT_EQ(capture->Texts(), (std::vector<std::string>{"level 0", "level 1", "level 2"}));

  capture->SetLevel(-1);  // a negative level silences even level 0
  EXPECT_FALSE(FXLogEnabled(0));
}

TEST(FileLogWriterTest, WritesTimestampedLinesToItsFile) {
  snaptest::TempDir dir("logwriter");
  {
    CFileLogWriter writer(1);
    ASSERT_TRUE(writer.Open(dir.Sub("log").c_str()));
    writer.Write(1, "virtual CQiError X::Y()", 42, 0, 0, "hello %s", "there");
    // On disk before any flush or close: a killed process loses no line.
    const std::string text = snaptest::ReadFile(dir.Sub("log"));
    EXPECT_NE(text.find("[L1] virtual CQiError X::Y():42 hello there\n"), std::string::npos) << text;
  }
}

TEST(AutoFilePtrTest, OwnsAndClosesItsStream) {
  auto_fileptr none(nullptr);
  EXPECT_FALSE(none.is_valid());
  EXPECT_EQ(none.close(), 0);

  auto_fileptr full(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(full.is_valid());
  std::fputs("x", full.get());
  EXPECT_NE(full.close(), 0);  // the buffered byte cannot reach a full device
  EXPECT_FALSE(full.is_valid());
}

}  // namespace
