// Listing on a file system where names differing only in letter case are
// distinct files.
#include "platform/Files.h"

#include <gtest/gtest.h>

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
