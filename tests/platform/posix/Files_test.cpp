// Listing on a file system where names differing only in letter case are
// distinct files, and where links, FIFOs and devices sit among the files.
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/SystemProbes.h"
#include "support/TempFolder.h"

using namespace platform;
using testing_support::WriteAll;

class FilesTest : public testing_support::TempFolderTest {};

TEST_F(FilesTest, ListFilesBreaksCaseTiesByBytes) {
  WriteAll(Path("b.tra"), "x");
  WriteAll(Path("B.tra"), "x");
  std::vector<std::string> names;
  ASSERT_TRUE(ListFiles(dir_, "*", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{"B.tra", "b.tra"}));
}

TEST_F(FilesTest, OnlyRegularFilesAreListedAndNothingIsOpened) {
  WriteAll(Path("a.tra"), "x");
  WriteAll(Path("notes.txt"), "x");
  std::filesystem::create_symlink("/etc/passwd", Path("link.tra"));
  std::filesystem::create_symlink(Path("a.tra"), Path("b.tra"));
  std::filesystem::create_symlink(Path("none"), Path("dangling.tra"));
  std::filesystem::create_directory(Path("folder.tra"));
  // Opening a FIFO for reading would wait for a writer for ever.
  ASSERT_TRUE(testing_support::MakeNamedPipe(Path("pipe.tra")));

  std::vector<std::string> names, skipped;
  ASSERT_TRUE(ListRegularFiles(dir_, "*.tra", names, skipped).Ok());
  EXPECT_EQ(names, std::vector<std::string>{"a.tra"});
  EXPECT_EQ(skipped, (std::vector<std::string>{"b.tra", "dangling.tra", "folder.tra", "link.tra",
                                               "pipe.tra"}));
  EXPECT_TRUE(IsRegularFile(Path("a.tra")));
  EXPECT_FALSE(IsRegularFile(Path("b.tra")));  // a link, even to a regular file
  EXPECT_FALSE(IsRegularFile(Path("pipe.tra")));
  EXPECT_FALSE(IsRegularFile(Path("none")));
  EXPECT_TRUE(ListRegularFiles(Path("none"), "*", names, skipped).NotFound());
  EXPECT_TRUE(skipped.empty());
}

// Path text with the Linux separator.
TEST(FilePaths, PathTextHelpers) {
  EXPECT_EQ(IncludeTrailingDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingDelimiter("/a/"), "/a/");
  EXPECT_EQ(ExcludeTrailingDelimiter("/a/"), "/a");
  EXPECT_EQ(ExcludeTrailingDelimiter("/"), "/");
  EXPECT_EQ(ExtractFileName("/x/y/z.tra"), "z.tra");
  EXPECT_EQ(ExtractFileDir("/x/y/z.tra"), "/x/y");
  EXPECT_EQ(ExtractFileDir("z.tra"), "");
  EXPECT_EQ(ExtractFileExt("/x.y/z"), "");
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
}
