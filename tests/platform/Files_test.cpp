#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FaultSeam.h"
#include "platform/Text.h"
#include "support/SystemProbes.h"
#include "support/TempFolder.h"

using namespace platform;
using testing_support::ReadAll;
using testing_support::UnwritableFolder;
using testing_support::WriteAll;

class FilesTest : public testing_support::TempFolderTest {};

TEST(FilePaths, ValuesFromTheMessageNeverLeaveTheFolder) {
  EXPECT_EQ(MakeSafeFileName("IH500-0042"), "IH500-0042");
  EXPECT_EQ(MakeSafeFileName("."), "_");
  EXPECT_EQ(MakeSafeFileName(".."), "__");
  EXPECT_EQ(MakeSafeFileName("..a"), "..a");
  EXPECT_EQ(MakeSafeFileName("../x"), ".._x");
  EXPECT_EQ(MakeSafeFileName(""), "");

  EXPECT_TRUE(IsPlainFileName("photo 1.jpg"));
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("../photo.jpg"));
  EXPECT_FALSE(IsPlainFileName("/etc/passwd"));
  EXPECT_FALSE(IsPlainFileName("a\\b.jpg"));
}

TEST_F(FilesTest, MissingThingsAreNotFoundNotErrors) {
  EXPECT_FALSE(FileExists(Path("none")));
  EXPECT_EQ(FileSize(Path("none")), -1);
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(Path("none"), bytes).NotFound());
  EXPECT_TRUE(RemoveFile(Path("none")).NotFound());
  std::vector<std::string> names;
  EXPECT_TRUE(ListFiles(Path("none"), "*", names).NotFound());
}

TEST_F(FilesTest, RenameNoReplaceRefusesAnExistingTarget) {
  WriteAll(Path("a"), "new");
  WriteAll(Path("b"), "old");
  const TOsResult r = RenameNoReplace(Path("a"), Path("b"));
  EXPECT_FALSE(r.Ok());
  EXPECT_NE(r.Text.find("rename"), std::string::npos);
  EXPECT_EQ(ReadAll(Path("b")), "old");
  EXPECT_TRUE(FileExists(Path("a")));
  ASSERT_TRUE(RenameNoReplace(Path("a"), Path("c")).Ok());
  EXPECT_EQ(ReadAll(Path("c")), "new");
  ASSERT_TRUE(RenameReplacing(Path("c"), Path("b")).Ok());
  EXPECT_EQ(ReadAll(Path("b")), "new");
}

TEST_F(FilesTest, ListFilesMatchesWithoutCaseAndSortsCaseInsensitively) {
  for (const char* n : {"B.tra", "a.tra", "C.TRA", ".hidden.tra", "UPx.tra", "notes.txt"}) {
    WriteAll(Path(n), "x");
  }
  std::filesystem::create_directory(Path("folder.tra"));
  std::vector<std::string> names;
  ASSERT_TRUE(ListFiles(dir_, "*.tra", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.tra", "a.tra", "B.tra", "C.TRA", "UPx.tra"}));
  ASSERT_TRUE(ListFiles(dir_, "up*.tra", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{"UPx.tra"}));
  ASSERT_TRUE(ListFiles(dir_, "*.*", names).Ok());
  EXPECT_EQ(names.size(), 6u);  // every file, the folder excluded
  WriteAll(Path("noext"), "x");
  ASSERT_TRUE(ListFiles(dir_, "*.*", names).Ok());
  EXPECT_EQ(names.size(), 7u);  // "*.*" also takes names without a dot
}

TEST_F(FilesTest, WritabilityProbe) {
  EXPECT_TRUE(ProbeWritable(dir_, "_chk_svc_.tmp"));
  EXPECT_FALSE(FileExists(Path("_chk_svc_.tmp")));  // removed after the probe
  // A probe cut short by a crash leaves its file: the next probe is not
  // fooled by it, and leaves nothing either.
  WriteAll(Path("_chk_svc_.tmp"), "");
  EXPECT_TRUE(ProbeWritable(dir_, "_chk_svc_.tmp"));
  EXPECT_FALSE(FileExists(Path("_chk_svc_.tmp")));
  std::filesystem::create_directory(Path("_chk_svc_.tmp"));  // not a probe's
  EXPECT_FALSE(ProbeWritable(dir_, "_chk_svc_.tmp"));
  EXPECT_FALSE(ProbeWritable(UnwritableFolder(), "_chk_svc_.tmp"));
}

TEST_F(FilesTest, WriteFileReplacingLeavesNoTemporaryFile) {
  WriteAll(Path("out.UPL"), "old");
  ASSERT_TRUE(WriteFileReplacing(Path("out.UPL"), "new content", true).Ok());
  EXPECT_EQ(ReadAll(Path("out.UPL")), "new content");
  std::vector<std::string> names;
  ASSERT_TRUE(ListFiles(dir_, "*", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{"out.UPL"}));
  // A folder that does not exist: nothing written, the error names the path.
  const TOsResult r = WriteFileReplacing(Path("missing/x.UPL"), "x");
  EXPECT_FALSE(r.Ok());
  EXPECT_NE(r.Text.find("missing"), std::string::npos);
}

TEST_F(FilesTest, MakeFoldersCreatesParentsAndFailsOnAFile) {
  ASSERT_TRUE(MakeFolders(Path("a/b/c")).Ok());
  EXPECT_TRUE(FolderExists(Path("a/b/c")));
  EXPECT_TRUE(MakeFolders(Path("a/b/c")).Ok());
  WriteAll(Path("file"), "x");
  EXPECT_FALSE(MakeFolders(Path("file/sub")).Ok());
  EXPECT_FALSE(MakeFolders(JoinPath(UnwritableFolder(), "velmar-test")).Ok());
}

TEST_F(FilesTest, AppendCopyAndRemove) {
  ASSERT_TRUE(AppendToFile(Path("log"), "one\r\n").Ok());
  ASSERT_TRUE(AppendToFile(Path("log"), "two\r\n").Ok());
  EXPECT_EQ(ReadAll(Path("log")), "one\r\ntwo\r\n");
  EXPECT_EQ(FileSize(Path("log")), 10);
  WriteAll(Path("copy"), "longer old content");
  ASSERT_TRUE(CopyReplacing(Path("log"), Path("copy")).Ok());
  EXPECT_EQ(ReadAll(Path("copy")), "one\r\ntwo\r\n");
  EXPECT_FALSE(CopyReplacing(dir_, Path("x")).Ok());  // a folder is not copied
  ASSERT_TRUE(RemoveFile(Path("copy")).Ok());
  EXPECT_FALSE(FileExists(Path("copy")));
}

TEST_F(FilesTest, AnAppendCutShortByAFullDiskIsTakenBack) {
  ASSERT_TRUE(AppendToFile(Path("log"), "one\r\n").Ok());
  SetWriteFaultForTesting(1);  // the next write stops halfway, as on a full disk
  EXPECT_FALSE(AppendToFile(Path("log"), "a line that does not fit\r\n").Ok());
  SetWriteFaultForTesting(0);
  ASSERT_TRUE(AppendToFile(Path("log"), "two\r\n").Ok());
  EXPECT_EQ(ReadAll(Path("log")), "one\r\ntwo\r\n");  // no fragment for the next line to end
}

TEST_F(FilesTest, CopyThatCannotTakeItsNameLeavesNoTemporaryFile) {
  WriteAll(Path("src/a.tra"), "content");
  std::filesystem::create_directories(Path("dst/a.tra/inside"));  // a folder holds the name
  const TOsResult r = CopyReplacing(Path("src/a.tra"), Path("dst/a.tra"));
  EXPECT_FALSE(r.Ok());
  EXPECT_NE(r.Text.find("rename"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("dst/.a.tra.tmp")));
  TMoveHow how = TMoveHow::copied;
  EXPECT_FALSE(MoveFileReplacing(Path("src/a.tra"), Path("dst/a.tra"), how).Ok());
  EXPECT_EQ(ReadAll(Path("src/a.tra")), "content");  // the source stays
  EXPECT_FALSE(std::filesystem::exists(Path("dst/.a.tra.tmp")));
}

TEST_F(FilesTest, LinesReadBlockByBlockAreTheLinesOfTheWholeText) {
  // A CR LF cut by the end of the first 256 KiB block, a line longer than a
  // block, CR and LF alone, empty lines, and no final line break.
  std::string text(256 * 1024 - 1, 'a');
  text += "\r\nshort\rcr only\n\nlf\r\n" + std::string(600 * 1024, 'b') + "\r\r\nlast";
  WriteAll(Path("log"), text);
  std::vector<std::string> lines;
  ASSERT_TRUE(ReadFileLines(Path("log"), [&](std::string_view line) {
                lines.emplace_back(line);
                return true;
              }).Ok());
  EXPECT_EQ(lines, SplitLines(text));

  int seen = 0;
  ASSERT_TRUE(ReadFileLines(Path("log"), [&](std::string_view) { return ++seen < 2; }).Ok());
  EXPECT_EQ(seen, 2);  // stopped when asked
  EXPECT_TRUE(ReadFileLines(Path("none"), [](std::string_view) { return true; }).NotFound());
}

TEST_F(FilesTest, AReplacementCutShortLeavesTheOldContentAndNoTemporaryFile) {
  WriteAll(Path("log"), "old");
  {
    TReplacingWriter writer(Path("log"));
    writer.Append("never committed");
  }
  SetWriteFaultForTesting(1);  // the first write of the new content stops halfway
  TReplacingWriter writer(Path("log"));
  writer.Append(std::string(3 << 20, 'x'));
  writer.Append("ignored after the failure");
  const TOsResult r = writer.Commit(true);
  SetWriteFaultForTesting(0);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(ReadAll(Path("log")), "old");
  std::vector<std::string> names;
  ASSERT_TRUE(ListFiles(dir_, "*", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{"log"}));
}
