#include "export/UGlimsExport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "ExportFixture.h"
#include "platform/Files.h"

using namespace export_tests;
using testing_support::ReadAll;
using testing_support::WriteAll;

namespace {

// Six wells of one cassette.
std::vector<TMRecord> Cassette(const std::string& id) {
  std::vector<TMRecord> wells;
  for (int w = 1; w <= 6; ++w) wells.push_back(Well("R" + std::to_string(w), w, id));
  return wells;
}

TImageResult Picture(const std::string& cassetteID, bool success = true) {
  TImageResult r;
  r.Success = success;
  r.OutputPath = "/img/S1_SCREEN_" + cassetteID + "_123456.jpg";
  return r;
}

// Field `index` of an upload line (field 0 is the record type).
std::string FieldOf(const std::string& line, size_t index) {
  const std::vector<std::string> fields = SplitASTMText(line, DELIM_FIELD, index + 1);
  return index < fields.size() ? fields[index] : std::string();
}

// "code name" of each R line built.
std::vector<std::string> Sent(const TASTMMessage& msg, const std::vector<TImageResult>& pictures) {
  std::vector<std::string> lines, sent;
  BuildGlimsRLines(msg, pictures.data(), static_cast<int>(pictures.size()), lines);
  for (const std::string& l : lines) sent.push_back(FieldOf(l, 2) + " " + FieldOf(l, 3));
  return sent;
}

std::string Name(const std::string& cassetteID) {
  return "S1_SCREEN_" + cassetteID + "_123456.jpg";
}

}  // namespace

class GlimsExportTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    ASSERT_TRUE(platform::MakeFolders(config_.InfoToLis).Ok());
  }
  std::string Export(const TASTMMessage& msg, const std::vector<TImageResult>& pictures) {
    return ExportToGlims(msg, pictures.data(), static_cast<int>(pictures.size()), config_);
  }
};

TEST_F(GlimsExportTest, FiveLineUploadFileByteForByte) {
  const TASTMMessage msg = Message({Result("XM", Cassette("123456"))});
  const std::string path = Export(msg, {Picture("999999", false), Picture("123456")});
  ASSERT_EQ(path, Path("lis/LISS1_0.UPL"));
  EXPECT_EQ(ReadAll(path),
            "H|\\^&|||ZID^Velmar Gel^5.1^INSTR01|||||||P|LIS2-A|20240315102030\r\n"
            "P|1|P001|||Dupont^\xC9lodie||19800102|F||||||||||||||||||||||||\r\n"
            "O|1|S1||SCREEN^Panel|N|18991230000000|||||||||Blood|||||||20240314080910|||F|||||\r\n"
            "R|1|IMXM|S1_SCREEN_123456_123456.jpg|||||F||Automatic||20240314080910|INSTR01\r\n"
            "L||\r\n");
  const std::string service = LogText("service.log");
  EXPECT_NE(service.find("Fichier UPL genere : LISS1_0.UPL (5 ligne(s))"), std::string::npos);
  EXPECT_NE(service.find("Export Glims terminé — OID: S1 | UPL: LISS1_0.UPL"), std::string::npos);

  // The next message of the same sample takes the next free number; a
  // temporary file left in the folder does not count.
  WriteAll(Path("lis/.LISS1_1.UPL.tmp"), "half");
  EXPECT_EQ(Export(msg, {Picture("123456")}), Path("lis/LISS1_1.UPL"));
  EXPECT_EQ(FindAvailableUPLPath(config_.InfoToLis, "LIS", "S1"), Path("lis/LISS1_2.UPL"));
  EXPECT_EQ(FindAvailableUPLPath(config_.InfoToLis + platform::PathDelimiter(), "", "S2"),
            Path("lis/S2_0.UPL"));
}

TEST_F(GlimsExportTest, ReceivedOrderLinesAndPathSafeNames) {
  TASTMMessage msg = Message({Result("XM", Cassette("123456"))}, "../a\\b/c");
  msg.Orders[0].RawLine = "O|1|../a\\b/c||ABO|R";
  TOrderRecord odd;
  odd.RawLine = "Q|weird line";
  msg.Orders.push_back(odd);
  const std::string path = Export(msg, {Picture("123456")});
  ASSERT_EQ(path, Path("lis/LIS.._a_b_c_0.UPL"));  // the file stays inside InfoToLis
  const std::vector<std::string> lines = testing_support::ReadCrLfLines(path);
  ASSERT_EQ(lines.size(), 5u);  // the odd order line is dropped
  EXPECT_EQ(lines[2], "O|1|../a\\b/c||ABO|R");
  EXPECT_EQ(FindAvailableUPLPath("/u", "L", std::string("a\0b", 3)),
            platform::JoinPath("/u", "La_b_0.UPL"));
}

TEST(GlimsRLines, DeduplicationAndNumbering) {
  const std::vector<TImageResult> pics = {Picture("AAAAAA"), Picture("BBBBBB"), Picture("CCCCCC")};
  const std::string a = Name("AAAAAA"), b = Name("BBBBBB"), c = Name("CCCCCC");
  // The same picture under one code is sent once, also over several R records.
  EXPECT_EQ(
      Sent(Message({Result("XM", Cassette("AAAAAA")), Result("xm", Cassette("AAAAAA"))}), pics),
      (std::vector<std::string>{"IMXM " + a}));
  // Further pictures of a code: _3 first, and again with a new number when repeated.
  EXPECT_EQ(Sent(Message({Result("XM", {Well("R", 1, "AAAAAA"), Well("R", 2, "AAAAAA"),
                                        Well("R", 1, "BBBBBB")}),
                          Result("XM", Cassette("CCCCCC")), Result("XM", Cassette("BBBBBB")),
                          Result(" YZ ", Cassette("BBBBBB"))}),
                 pics),
            (std::vector<std::string>{"IMXM " + a, "IMXM_3 " + b, "IMXM_4 " + c, "IMXM_5 " + b,
                                      "IMYZ " + b}));
  // Identification pictures are numbered across the message, never compared.
  EXPECT_EQ(Sent(Message({Result("Ident", Cassette("AAAAAA")), Result("IDENT", Cassette("AAAAAA")),
                          Result("XM", Cassette("AAAAAA")), Result("ident", Cassette("BBBBBB"))}),
                 pics),
            (std::vector<std::string>{"IMSCREEN_Ident1 " + a, "IMSCREEN_Ident2 " + a, "IMXM " + a,
                                      "IMSCREEN_Ident3 " + b}));
  // Blank test codes and blank cassette identifiers give nothing.
  EXPECT_TRUE(
      Sent(Message({Result("  ", Cassette("AAAAAA")), Result("XM", Cassette(""))}), pics).empty());
}

TEST(GlimsRLines, CassetteMatching) {
  // Short identifiers match whole, dashes count, long identifiers match by
  // their last six characters or whole (as picture names carry them).
  const std::vector<TImageResult> pics = {Picture("1234"), Picture("12-456"), Picture("ABC-987654"),
                                          Picture("ABC-111111"), Picture("555555")};
  EXPECT_EQ(
      Sent(Message({Result("A", Cassette("1234")), Result("B", Cassette("12-456")),
                    Result("C", Cassette("ABC-987654")), Result("D", Cassette(" ABC-111111 ")),
                    Result("E", Cassette("XY555555")), Result("F", Cassette("123"))}),
           pics),
      (std::vector<std::string>{"IMA " + Name("1234"), "IMB " + Name("12-456"),
                                "IMC " + Name("ABC-987654"), "IMD " + Name("ABC-111111"),
                                "IME " + Name("555555")}));
  // A failed picture is never sent, even when its name matches; the reduced
  // copy's name wins over the full-size one.
  TImageResult reduced = Picture("777777");
  reduced.ResizedPath = "/small/S1_777777_small.jpg";
  EXPECT_EQ(Sent(Message({Result("XM", Cassette("666666")), Result("YZ", Cassette("777777"))}),
                 {Picture("666666", false), reduced}),
            (std::vector<std::string>{"IMYZ S1_777777_small.jpg"}));
}

TEST(GlimsRLines, ResultTimeFallsBack) {
  TASTMMessage msg = Message({Result("XM", Cassette("123456"))});
  std::vector<std::string> lines;
  const TImageResult pic = Picture("123456");
  msg.Orders[0].ReportDate = 1;
  msg.Orders[0].OrderDate = At(2024, 1, 2, 3, 4, 5);
  BuildGlimsRLines(msg, &pic, 1, lines);
  msg.Orders[0].OrderDate = 0.5;
  platform::SetNowForTesting([] { return FixedNow(); });
  BuildGlimsRLines(msg, &pic, 1, lines);
  platform::SetNowForTesting({});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(FieldOf(lines[0], 12), "20240102030405");
  EXPECT_EQ(FieldOf(lines[1], 12), "20240315102030");
  BuildGlimsRLines(msg, nullptr, 5, lines);  // no pictures at all
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(GlimsExportTest, DeclinedAndFailedExports) {
  const std::string logPath = GlimsLogPath(config_);
  EXPECT_EQ(logPath, Path("Glims_log.csv"));
  WriteAll(logPath, "S0|XM|a.jpg|1|01/01/2000 00:00:00\r\n");
  const TASTMMessage msg = Message({Result("XM", Cassette("123456"))});

  TASTMMessage qc = msg;
  qc.IsQC = true;
  EXPECT_FALSE(IsGlimsMessage(qc));
  EXPECT_EQ(Export(qc, {Picture("123456")}), "");
  EXPECT_FALSE(IsGlimsMessage(Message({})));
  TASTMMessage invalid = msg;
  invalid.IsValid = false;
  EXPECT_EQ(Export(invalid, {Picture("123456")}), "");
  EXPECT_EQ(Export(msg, {Picture("654321")}), "");  // no picture matches

  // An upload file is never written under its final name directly.
  ASSERT_TRUE(platform::MakeFolders(Path("lis/.LISS1_0.UPL.tmp")).Ok());
  EXPECT_EQ(Export(msg, {Picture("123456")}), "");
  // An upload folder that is missing or that the system refuses.
  config_.InfoToLis = Path("missing");
  EXPECT_EQ(Export(msg, {Picture("123456")}), "");
  config_.InfoToLis = platform::JoinPath(testing_support::UnwritableFolder(), "velmar_lis");
  EXPECT_EQ(Export(msg, {Picture("123456")}), "");
  config_.InfoToLis = "";
  EXPECT_EQ(Export(msg, {Picture("123456")}), "");

  EXPECT_EQ(ReadAll(logPath), "S0|XM|a.jpg|1|01/01/2000 00:00:00\r\n");  // untouched
  const std::string debug = LogText("debug.log");
  EXPECT_NE(debug.find("Message non-Glims — export ignore : 12345.tra"), std::string::npos);
  EXPECT_NE(debug.find("InfoToLis non configure — export ignore"), std::string::npos);
  EXPECT_NE(LogText("service.log").find("Aucune ligne R générée — export annulé"),
            std::string::npos);
  const std::string errors = LogText("error.log");
  EXPECT_NE(errors.find("Erreur ecriture UPL : "), std::string::npos);
  EXPECT_NE(errors.find(" : " + Path("missing/LISS1_0.UPL")), std::string::npos);
  EXPECT_NE(
      errors.find(" : " + platform::JoinPath(
                              platform::JoinPath(testing_support::UnwritableFolder(), "velmar_lis"),
                              "LISS1_0.UPL")),
      std::string::npos);
  EXPECT_TRUE(HasEvent(EVT_GLIMS_ERROR));
  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFiles(Path("lis"), "*", names).Ok());
  EXPECT_TRUE(names.empty());
}

TEST_F(GlimsExportTest, ExportLogPurgeAndTornLines) {
  const std::string logPath = GlimsLogPath(config_);
  WriteAll(logPath,
           "OLD|XM|old.jpg|1|07/03/2024 10:20:29\r\n"            // 8 days ago: dropped
           " NEW | XM | n\xE9.jpg | 2 |09/03/2024 10:20:30\r\n"  // 6 days ago: kept
           "BAD|XM|bad.jpg|x|32/13/2024 99:00:00\r\n"            // unreadable date and index
           "TORN|XM|torn.jpg\r\n"
           "\r\n   \r\n"
           "|XM|nooid.jpg|1|01/03/2024 00:00:00\r\n"
           "LAST|XM|l.jpg|3|15/03/2024 10:00:00|extra");
  std::vector<TGlimsLogEntry> entries;
  int count = -1;
  ASSERT_TRUE(LoadGlimsLog(logPath, entries, count));
  ASSERT_EQ(count, 4);
  EXPECT_EQ(entries[1].JPGName, "né.jpg");
  EXPECT_EQ(entries[2].Index, 0);
  EXPECT_EQ(entries[2].EntryDate, 0);

  ASSERT_FALSE(Export(Message({Result("XM", Cassette("123456"))}), {Picture("123456")}).empty());
  EXPECT_EQ(ReadAll(logPath),
            "NEW|XM|n\xE9.jpg|2|09/03/2024 10:20:30\r\n"
            "BAD|XM|bad.jpg|0|30/12/1899 00:00:00\r\n"
            "LAST|XM|l.jpg|3|15/03/2024 10:00:00\r\n");
  // Nothing to drop at the next export: the log is not written again.
  const auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(logPath, longAgo);
  // Read back: the system may keep the time more coarsely than it was given.
  const auto untouched = std::filesystem::last_write_time(logPath);
  ASSERT_FALSE(Export(Message({Result("XM", Cassette("123456"))}), {Picture("123456")}).empty());
  EXPECT_EQ(std::filesystem::last_write_time(logPath), untouched);

  // The log is replaced through a temporary file: when that cannot be
  // written the old log stays whole.
  ASSERT_TRUE(platform::MakeFolders(Path(".Glims_log.csv.tmp")).Ok());
  EXPECT_FALSE(SaveGlimsLog(logPath, {}, 0));
  EXPECT_EQ(testing_support::ReadCrLfLines(logPath).size(), 3u);
  EXPECT_FALSE(LoadGlimsLog(Path("none.csv"), entries, count));
  EXPECT_EQ(count, 0);
}

TEST_F(GlimsExportTest, LargeAndHostileMessages) {
  // 500 cassettes of six wells each, one R record per cassette, twenty pictures.
  std::vector<TRRecord> results;
  std::vector<TImageResult> pics;
  for (int i = 0; i < 500; ++i) {
    const std::string id = platform::Format("C%05d", i);
    results.push_back(Result("T" + std::to_string(i % 7), Cassette(id)));
    if (i % 25 == 0) pics.push_back(Picture(id));
  }
  TASTMMessage msg = Message(std::move(results), "&<>\"'");
  msg.Patient.FirstName = "&<>\"'";
  msg.Patient.LastName = "O'Brien & <Co>";
  const std::string path = Export(msg, pics);
  // The sample identifier names the file, made safe for the system's names.
  ASSERT_EQ(path, Path("lis/LIS" + platform::MakeSafeFileName("&<>\"'_0") + ".UPL"));
  const std::vector<std::string> lines = testing_support::ReadCrLfLines(path);
  ASSERT_EQ(lines.size(), 4u + 20u);
  EXPECT_EQ(FieldOf(lines[1], 5), "&<>\"'^O'Brien & <Co>");  // never escaped
}
