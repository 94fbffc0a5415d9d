#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Files.h"
#include "support/TempFolder.h"

using namespace platform;

class WindowsFileNamesTest : public testing_support::TempFolderTest {};

// Values from a result file (instrument, patient or sample identifiers)
// become file and folder names: on Windows a ':' would name an alternate
// stream, "CON" the console, and a trailing dot would be dropped. Each
// becomes its own ordinary file, written and read back.
TEST_F(WindowsFileNamesTest, HostileValuesBecomeOrdinaryFiles) {
  EXPECT_EQ(MakeSafeFileName("IH:500"), "IH_500");
  EXPECT_EQ(MakeSafeFileName("O'Brien <Co> | \"x\"?*"), "O'Brien _Co_ _ _x___");
  EXPECT_EQ(MakeSafeFileName("nul.txt"), "_nul.txt");
  EXPECT_EQ(MakeSafeFileName("CONSOLE"), "CONSOLE");
  for (const std::string value : {"IH:500", "CON", "lot.", "com7"}) {
    const std::string name = MakeSafeFileName(value);
    EXPECT_FALSE(IsPlainFileName(value)) << value;
    ASSERT_TRUE(WriteFileBytes(Path(name), value).Ok()) << name;
    EXPECT_EQ(testing_support::ReadAll(Path(name)), value);
  }
  std::vector<std::string> names;
  ASSERT_TRUE(ListFiles(dir_, "*", names).Ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"IH_500", "_CON", "_com7", "lot_"}));
}
