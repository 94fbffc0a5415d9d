#include "export/UXMLExport.h"

#include <gtest/gtest.h>

#include "ExportFixture.h"
#include "platform/Files.h"

using namespace export_tests;
using testing_support::ReadAll;
using testing_support::WriteAll;

namespace {

TMRecord Panel(const std::string& reagent, int wellNr, int grade, const std::string& name = "",
               const std::string& lot = "", const std::string& exp = "") {
  TMRecord m = Well(reagent, wellNr, "123456", grade);
  m.ReagentName = name;
  m.ReagentLot = lot;
  m.ReagentExpDate = exp;
  return m;
}

// Three orders: a screening panel with another reagent first, an order
// without report date whose capitals reagent is not recognised, and an order
// without any screening well.
TASTMMessage ScreeningMessage() {
  TASTMMessage msg =
      Message({Result("AbScr", {Panel("Anti-A", 1, 40, "First", "L1", "20990101"),
                                Panel("0.8 Surg1", 2, 10, "Surgiscreen", "L42", "20251231235959"),
                                Panel("0.8 Surg2", 3, 0), Panel("0.8 Surg3", 4, -118)}),
               Result("ABO", {Panel("Anti-B", 1, 0)})});
  TOrderRecord second;
  second.SampleID = "S2";
  second.RRecords.push_back(Result("AbScr", {Panel("SURG1", 1, 30), Panel("surg2", 5, 20)}));
  msg.Orders.push_back(second);
  TOrderRecord third;
  third.SampleID = "S3";
  third.RRecords.push_back(Result("ABO", {Panel("Anti-D", 1, 0)}));
  msg.Orders.push_back(third);
  return msg;
}

}  // namespace

TEST(XMLRules, ReagentClassIdsAreCaseSensitive) {
  EXPECT_EQ(GetSurgURClassID(" 0.8 Surg1 "), UR_SURG1_ID);
  EXPECT_EQ(GetSurgURClassID("surg2"), UR_SURG2_ID);
  EXPECT_EQ(GetSurgURClassID("xSurg3y"), UR_SURG3_ID);
  EXPECT_EQ(GetSurgURClassID("Surg2 Surg1"), UR_SURG1_ID);  // Surg1 is looked for first
  EXPECT_EQ(GetSurgURClassID("SURG1"), 0);
  EXPECT_EQ(GetSurgURClassID(""), 0);
}

TEST(XMLRules, EscapeAndDateForms) {
  EXPECT_EQ(XMLEscape("&amp;"), "&amp;amp;");
  EXPECT_EQ(XMLEscape("a<b>\"c'"), "a&lt;b&gt;&quot;c&apos;");
  EXPECT_EQ(XMLEscape(std::string("x\x01y\tz\x1F\r\n\0w", 11)), "xy\tz\r\nw");
  EXPECT_EQ(XMLEscape("Élodie"), "Élodie");

  EXPECT_EQ(FormatASTMDateForXML(" 20240102 ", true), "20240102");
  EXPECT_EQ(FormatASTMDateForXML("198001", true), "");
  EXPECT_EQ(FormatASTMDateForXML("20240102123456", true), "20240102");
  EXPECT_EQ(FormatASTMDateForXML("20240102123456789012", false), "20240102123456");
  EXPECT_EQ(FormatASTMDateForXML("202401021234", false), "202401021234");
}

TEST(XMLRules, DocumentLinesInOrder) {
  const TASTMMessage msg = ScreeningMessage();
  EXPECT_TRUE(IsSurgiscreenMessage(msg));
  const std::string expected =
      "<?xml version=\"1.0\"?>\r\n"
      "<doc>\r\n"
      " <Patient PID=\"P001\" FirstName=\"Élodie\" FamilyName=\"Dupont\" "
      "BirthDate=\"19800102\">\r\n"
      "  <Sample SampleID=\"S1\" SampleType=\"Blood\">\r\n"
      "    <Test Program=\"08 AbScr Surg Poly\" PanelClass=\"Surgiscreen\" PanelLot=\"L42\" "
      "PanelExpirationDate=\"20251231\" Date=\"20240314080910\">\r\n"
      "    <Result Hole=\"2\" ImageName=\"ImageName\" URClassID=\"33\" URClassName=\"0.8 Surg1\" "
      "URValue=\"10\" />\r\n"
      "    <Result Hole=\"3\" ImageName=\"ImageName\" URClassID=\"34\" URClassName=\"0.8 Surg2\" "
      "URValue=\"0\" />\r\n"
      "    <Result Hole=\"4\" ImageName=\"ImageName\" URClassID=\"35\" URClassName=\"0.8 Surg3\" "
      "URValue=\"-118\" />\r\n"
      "   </Test>\r\n"
      "    </Sample>\r\n"
      "  <Sample SampleID=\"S2\" SampleType=\"\">\r\n"
      "    <Test Program=\"08 AbScr Surg Poly\" PanelClass=\"\" PanelLot=\"\" "
      "PanelExpirationDate=\"\" Date=\"18991230000000\">\r\n"
      "    <Result Hole=\"5\" ImageName=\"ImageName\" URClassID=\"34\" URClassName=\"surg2\" "
      "URValue=\"20\" />\r\n"
      "   </Test>\r\n"
      "    </Sample>\r\n"
      "  <Sample SampleID=\"S3\" SampleType=\"\">\r\n"
      "    </Sample>\r\n"
      " </Patient>\r\n"
      "</doc>\r\n";
  EXPECT_EQ(BuildXMLContent(msg), expected);
}

TEST(XMLRules, MessagesWithoutScreeningWells) {
  TASTMMessage msg = Message({Result("AbScr", {Panel("SURG1", 1, 0), Panel("Anti-A", 2, 0)})});
  EXPECT_FALSE(IsSurgiscreenMessage(msg));
  msg.Orders[0].RRecords[0].MRecords.push_back(Panel("Surg3", 3, 0));
  EXPECT_TRUE(IsSurgiscreenMessage(msg));
  msg.IsValid = false;
  EXPECT_FALSE(IsSurgiscreenMessage(msg));
}

class XMLExportTest : public ExportTest {};

TEST_F(XMLExportTest, WritesWellFormedDocumentUnderSourceName) {
  const std::string dest = Path("out/xml");
  WriteAll(platform::JoinPath(dest, "12345.tra"), "old document");
  const std::string path = ExportToXML(ScreeningMessage(), dest);
  ASSERT_EQ(path, platform::JoinPath(dest, "12345.tra"));
  EXPECT_EQ(ReadAll(path), "\xEF\xBB\xBF" + BuildXMLContent(ScreeningMessage()));
  EXPECT_TRUE(WellFormed(path));
  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFiles(dest, "*", names).Ok());
  EXPECT_EQ(names, std::vector<std::string>{"12345.tra"});  // no temporary file left
  EXPECT_NE(LogText("service.log").find("Export XML généré — 12345.tra [Patient: P001]"),
            std::string::npos);
}

TEST_F(XMLExportTest, HostileTextStaysWellFormed) {
  const std::string nasty = "&<>\"'&amp;\x01\x1b\x7f]]>";
  TASTMMessage msg = ScreeningMessage();
  msg.Patient.PatientID = nasty;
  msg.Patient.FirstName = nasty;
  msg.Patient.LastName = nasty;
  msg.Patient.BirthDateStr = "19\"8<0&1\x02";
  msg.Orders[0].SampleID = nasty;
  msg.Orders[0].SampleType = nasty;
  msg.Orders[0].RRecords[0].MRecords[1].ReagentName = nasty;
  msg.Orders[0].RRecords[0].MRecords[1].ReagentLot = nasty;
  msg.Orders[0].RRecords[0].MRecords[1].ReagentExpDate = "2025\"<&'1231";
  msg.Orders[0].RRecords[0].MRecords[2].Reagent = "Surg2 " + nasty;
  const std::string path = ExportToXML(msg, Path("out"));
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(WellFormed(path)) << ReadAll(path);
}

TEST_F(XMLExportTest, RefusalsAndFailuresAreLogged) {
  TASTMMessage invalid = ScreeningMessage();
  invalid.IsValid = false;
  EXPECT_EQ(ExportToXML(invalid, Path("out")), "");
  EXPECT_EQ(ExportToXML(Message({Result("ABO", {Panel("Anti-A", 1, 0)})}), Path("out")), "");
  EXPECT_EQ(ExportToXML(ScreeningMessage(), "  "), "");

  // A file where the folder should be, a folder the system refuses, and a
  // folder in place of the document.
  WriteAll(Path("file"), "x");
  EXPECT_EQ(ExportToXML(ScreeningMessage(), Path("file/xml")), "");
  EXPECT_EQ(ExportToXML(ScreeningMessage(),
                        platform::JoinPath(testing_support::UnwritableFolder(), "velmar_xml")),
            "");
  ASSERT_TRUE(platform::MakeFolders(Path("out/12345.tra")).Ok());
  EXPECT_EQ(ExportToXML(ScreeningMessage(), Path("out")), "");
  // A document is replaced only once its successor is complete: when the
  // new one cannot be written, the old one stays whole.
  WriteAll(Path("keep/12345.tra"), "old document");
  ASSERT_TRUE(platform::MakeFolders(Path("keep/.12345.tra.tmp")).Ok());
  EXPECT_EQ(ExportToXML(ScreeningMessage(), Path("keep")), "");
  EXPECT_EQ(ReadAll(Path("keep/12345.tra")), "old document");

  const std::string service = LogText("service.log");
  EXPECT_NE(service.find("Message ASTM invalide — export XML ignoré"), std::string::npos);
  EXPECT_NE(service.find("Dossier destination XML non configuré"), std::string::npos);
  EXPECT_NE(LogText("debug.log").find("Pas de réactif Surg — export XML non requis : 12345.tra"),
            std::string::npos);
  const std::string errors = LogText("error.log");
  EXPECT_NE(errors.find("Impossible de créer dossier XML : " + Path("file/xml")),
            std::string::npos);
  EXPECT_NE(errors.find("Impossible de créer dossier XML : " +
                        platform::JoinPath(testing_support::UnwritableFolder(), "velmar_xml")),
            std::string::npos);
  EXPECT_NE(errors.find("Erreur écriture XML : "), std::string::npos);
  // The arrow has no Windows-1252 form: only the path is looked for.
  EXPECT_NE(errors.find(" " + Path("out/12345.tra") + "\r\n"), std::string::npos);
  EXPECT_TRUE(HasEvent(EVT_PROCESSING_ERROR));
}
