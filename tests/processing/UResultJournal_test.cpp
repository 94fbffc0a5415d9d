#include "processing/UResultJournal.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Format.h"
#include "support/TempFolder.h"

using testing_support::ReadAll;
using testing_support::WriteAll;

namespace {

class JournalTest : public testing_support::TempFolderTest {};

// The lines of an entry followed by the seal the journal writes.
std::string Sealed(const std::string& lines) {
  return lines +
         platform::Format("end\t%016llx\n", static_cast<unsigned long long>(ContentHash(lines)));
}

// An entry damaged on disk after a crash (cut at a line end, so that it
// still reads as lines of the journal; one byte of a path altered; a line
// with a barcode result this service never writes) is refused, so that the
// file is processed in full instead of skipping stages on false records.
TEST_F(JournalTest, ADamagedEntryIsRefusedAndAWholeOneReadsBack) {
  const TResultJournal journal(Path("journal"));
  const std::string file = Path("tra/UP_1.tra");
  TJournalEntry entry{{"UP_1.tra", 1834, ContentHash("H|")}, {{"qc", "2", {}}}};
  TImageResult picture;
  picture.Success = true;
  picture.VerifResult = bvrMismatch;
  picture.OutputPath = Path("img/S1_C1.jpg");
  entry.Stages.push_back({"images", "1", {picture}});
  entry.Stages.push_back({"xml", Path("xml/S1.xml"), {}});
  ASSERT_TRUE(journal.Save(file, entry).Ok());
  const std::string whole = ReadAll(journal.EntryPath(file));

  TJournalEntry read;
  ASSERT_TRUE(journal.Load(file, read));
  EXPECT_EQ(read.Identity, entry.Identity);
  ASSERT_EQ(read.Stages.size(), 3u);
  ASSERT_EQ(read.Stages[1].Images.size(), 1u);
  EXPECT_EQ(read.Stages[1].Images[0].VerifResult, bvrMismatch);
  EXPECT_EQ(read.Stages[2].Output, Path("xml/S1.xml"));

  const size_t xmlLine = whole.find("stage\txml");
  std::string altered = whole;
  altered[whole.find("S1.xml")] = 'T';
  std::string unknownResult = whole.substr(0, whole.find("end\t"));
  unknownResult.replace(unknownResult.find("image\t1\t1"), 9, "image\t1\t9");
  unknownResult = Sealed(unknownResult);
  for (const std::string& damaged : {whole.substr(0, xmlLine), altered, unknownResult,
                                     whole.substr(0, whole.size() - 1), std::string()}) {
    WriteAll(journal.EntryPath(file), damaged);
    EXPECT_FALSE(journal.Load(file, read)) << damaged;
  }

  // An entry an earlier version wrote (no format line, no seal), left by a
  // crash before an upgrade, still reads: its stages are not done twice.
  const std::string lines = whole.substr(0, whole.find("end\t"));
  WriteAll(journal.EntryPath(file), lines.substr(lines.find('\n') + 1));
  ASSERT_TRUE(journal.Load(file, read));
  EXPECT_EQ(read.Identity, entry.Identity);
  EXPECT_EQ(read.Stages.size(), 3u);
}

}  // namespace
