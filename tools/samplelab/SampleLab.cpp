#include "samplelab/SampleLab.h"

#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "samplelab/SampleBarcode.h"
#include "samplelab/SamplePhoto.h"

namespace samplelab {

namespace {

namespace fs = std::filesystem;

// Joins fields with "|", the first being the record type.
std::string Record(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '|';
    line += fields[i];
  }
  return line + "\r\n";
}

std::vector<std::string> Fields(size_t count) {
  return std::vector<std::string>(count);
}

std::string DaysFromToday(const std::string& today, int days) {
  TDateTime t = 0;
  platform::TryEncodeDate(std::stoi(today.substr(0, 4)), std::stoi(today.substr(4, 2)),
                          std::stoi(today.substr(6, 2)), t);
  return platform::FormatDateTime("yyyymmdd", t + days);
}

TSampleCassette AboCassette(const std::string& id, const std::string& photo,
                            const std::string& printed) {
  TSampleCassette c;
  c.CassetteName = "ABO/Rh";
  c.CassetteID = id;
  c.PhotoFile = photo;
  c.PrintedBarcode = printed;
  c.Wells = {{1, "Anti-A", "R101", 40}, {2, "Anti-B", "R102", 0},   {3, "Anti-D", "R103", 40},
             {4, "Ctrl", "R104", 0},    {5, "A1-Cells", "C201", 0}, {6, "B-Cells", "C202", 40}};
  return c;
}

TWellReaction ReactionOf(int grade) {
  if (grade < 0) return wrNoCells;
  if (grade >= 40) return wr4Plus;
  if (grade >= 30) return wr3Plus;
  if (grade >= 20) return wr2Plus;
  if (grade >= 10) return wr1Plus;
  if (grade >= 5) return wrWeak;
  return wrNegative;
}

// A result file of one patient and one sample.
TSampleFile PatientFile(const std::string& fileName, const std::string& patientID,
                        const std::string& name, const std::string& birthDate,
                        const std::string& sex, const std::string& sampleID,
                        const std::string& testName) {
  TSampleFile f;
  f.FileName = fileName;
  f.PatientID = patientID;
  f.Name = name;
  f.BirthDate = birthDate;
  f.Sex = sex;
  f.SampleID = sampleID;
  f.TestName = testName;
  return f;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) {
    std::cerr << "samplelab: cannot write " << path << "\n";
    return false;
  }
  return true;
}

}  // namespace

std::string BuildResultText(const TSampleFile& file, const std::string& when) {
  if (!file.RawText.empty()) return file.RawText;
  std::string text;
  auto h = Fields(14);
  h[0] = "H";
  h[1] = "\\^&";
  h[4] = "Velmar^GS^5.2.1^" + file.InstrumentID;
  h[11] = "P";
  h[12] = "LIS2-A";
  h[13] = when;
  text += Record(h);

  auto p = Fields(9);
  p[0] = "P";
  p[1] = "1";
  p[2] = file.PatientID;
  p[5] = file.Name;
  p[7] = file.BirthDate;
  p[8] = file.Sex;
  text += Record(p);

  auto o = Fields(26);
  o[0] = "O";
  o[1] = "1";
  o[2] = file.SampleID;
  o[4] = file.TestName;
  o[5] = "R";
  o[6] = when;
  o[15] = "Blood";
  o[22] = when;
  o[25] = "F";
  text += Record(o);

  int rSeq = 0;
  for (const TSampleResult& r : file.Results) {
    auto rf = Fields(14);
    rf[0] = "R";
    rf[1] = std::to_string(++rSeq);
    rf[2] = r.TestCode;
    rf[3] = "OK";
    rf[6] = r.ResultFlag;
    rf[8] = "F";
    rf[10] = "Automatic";
    rf[12] = when;
    rf[13] = file.InstrumentID;
    text += Record(rf);
    int mSeq = 0;
    for (const TSampleCassette& c : r.Cassettes) {
      for (const TSampleWell& w : c.Wells) {
        auto m = Fields(6);
        m[0] = "M";
        m[1] = std::to_string(++mSeq);
        m[2] = w.Reagent;
        m[3] = c.CassetteName + "^" + std::to_string(w.WellNr) + "^" + c.CassetteID + "^" +
               c.CassetteLot + "^" + c.ExpDateStr + "^" +
               c.PhotoFile.substr(0, c.PhotoFile.size() - 6) + "_B.jpg^" + c.PhotoFile;
        m[4] = w.Reagent + "^" + w.ReagentLot + "^20280101";
        m[5] = std::to_string(w.Grade) + "^";
        text += Record(m);
      }
    }
  }
  text += "L|1|N\r\n";
  return text;
}

std::vector<TSampleFile> SampleFiles(const std::string& today) {
  std::vector<TSampleFile> files;

  // A patient blood group: one cassette, six wells, barcode as in the message.
  TSampleFile abo = PatientFile("UP_260101.tra", "PID004512", "MARTIN^Hélène", "19790412", "F",
                                "260101", "ABO/Rh (2)^^=A26010155^x");
  abo.Results = {{"XM", "", {AboCassette("VC4101", "VLM0001_000101_C.jpg", "0012VC4101")}}};
  files.push_back(abo);

  // Two cassettes of one sample; the second carries a weak reaction ("P": yellow border)
  // and an error grade.
  TSampleFile two = PatientFile("UP_260102.tra", "PID004513", "BERNARD^Luc", "19550301", "M",
                                "260102", "Pheno RH-K");
  TSampleCassette pheno;
  pheno.CassetteName = "Rh-Pheno+K";
  pheno.CassetteID = "VC4102";
  pheno.PhotoFile = "VLM0001_000102_C.jpg";
  pheno.PrintedBarcode = "0012VC4102";
  pheno.Wells = {{1, "Anti-C", "R201", 20}, {2, "Anti-c", "R202", 10}, {3, "Anti-E", "R203", 0},
                 {4, "Anti-e", "R204", 30}, {5, "Anti-K", "R205", 5},  {6, "Ctrl", "R206", -118}};
  two.Results = {{"XM", "", {AboCassette("VC4103", "VLM0001_000103_C.jpg", "0012VC4103")}},
                 {"PH", "P", {pheno}}};
  files.push_back(two);

  // An antibody screening on the screening panel: three wells used, exported as XML.
  TSampleFile screen = PatientFile("UP_260103.tra", "PID004514", "PETIT^Anne", "19920220", "F",
                                   "260103", "Screening & Co <3>");
  TSampleCassette surg;
  surg.CassetteName = "LISS/Coombs";
  surg.CassetteID = "VC4104";
  surg.PhotoFile = "VLM0001_000104_C.jpg";
  surg.PrintedBarcode = "0012VC4104";
  surg.Wells = {
      {1, "0.8-Surg1", "S301", 0}, {2, "0.8-Surg2", "S301", 10}, {3, "0.8-Surg3", "S301", 0}};
  screen.Results = {{"SC", "", {surg}}};
  files.push_back(screen);

  // A QC reading whose cassette lot expired twelve days ago: its report is due.
  TSampleFile qc;
  qc.FileName = "UP_QC0001.tra";
  qc.PatientID = "";
  qc.SampleID = "QCX04568YYY12Z";
  qc.TestName = "QC NIV 1";
  TSampleCassette qcCass = AboCassette("VC4190", "VLM0001_000190_C.jpg", "0012VC4190");
  qcCass.CassetteLot = "LQ2611";
  qcCass.ExpDateStr = DaysFromToday(today, -12);
  qc.Results = {{"XM", "", {qcCass}}};
  files.push_back(qc);

  // A file that is not a result message at all.
  TSampleFile bad;
  bad.FileName = "UP_garbage.tra";
  bad.RawText = "this is not an ASTM message\r\nP|1|x\r\n";
  files.push_back(bad);

  // Instrument 2: a cassette whose printed barcode is another cassette's, and
  // a cassette photographed without its barcode.
  TSampleFile wrong = PatientFile("UP_260201.tra", "PID004520", "ROUX^Paul", "19681111", "M",
                                  "260201", "ABO/Rh (2)");
  wrong.Instrument = 2;
  wrong.InstrumentID = "VLM0002";
  wrong.Results = {{"XM", "M", {AboCassette("VC4201", "VLM0002_000201_C.jpg", "0012VC4299")}}};
  files.push_back(wrong);

  TSampleFile none = wrong;
  none.FileName = "UP_260202.tra";
  none.PatientID = "PID004521";
  none.Name = "FAURE^Julie";
  none.Sex = "F";
  none.SampleID = "260202";
  none.Results = {{"XM", "", {AboCassette("VC4202", "VLM0002_000202_C.jpg", "")}}};
  files.push_back(none);

  // Instrument 1 again: results flagged "M" ask for a red border, and the
  // photograph carries the cassette's own barcode, so the picture passes the
  // barcode check and is kept with its red border. (Last, so that the other
  // photographs keep their drawing seeds.)
  TSampleFile red = PatientFile("UP_260104.tra", "PID004515", "LEROY^Marc", "19840707", "M",
                                "260104", "ABO/Rh (2)");
  red.Results = {{"XM", "M", {AboCassette("VC4105", "VLM0001_000105_C.jpg", "0012VC4105")}}};
  files.push_back(red);
  return files;
}

bool WriteCassettePhoto(const TSampleCassette& c, unsigned seed, const std::string& path,
                        std::string& error) {
  TSamplePhotoOptions options;
  options.Seed = seed;
  options.Wells.fill(wrNoCells);
  options.WellLabels.fill("");
  for (const TSampleWell& w : c.Wells) {
    if (w.WellNr < 1 || w.WellNr > 6) continue;
    options.Wells[w.WellNr - 1] = ReactionOf(w.Grade);
    options.WellLabels[w.WellNr - 1] = w.Reagent;
  }
  options.LabelText = "GEL CARD " + c.CassetteName + "  LOT " + c.CassetteLot;
  options.BarcodeText = c.PrintedBarcode;
  if (!c.PrintedBarcode.empty()) {
    const std::string text = c.PrintedBarcode;
    options.DrawBarcode = [text](cairo_t* cr, double x, double y, double w, double h) {
      DrawCode128(cr, x, y, w, h, text);
    };
  }
  return WriteSamplePhoto(options, path, error);
}

bool CreateSampleLab(const std::string& root, bool photos, TLabLayout& layout) {
  std::error_code ec;
  layout.Root = fs::absolute(root, ec).lexically_normal().string();
  if (!layout.Root.empty() && layout.Root.back() == '/') layout.Root.pop_back();
  layout.Install = layout.Root + "/install";
  layout.Out = layout.Root + "/out";
  for (int i = 0; i < 2; ++i) {
    const std::string instr = layout.Root + "/instruments/velmar" + std::to_string(i + 1);
    layout.TraFolder[i] = instr + "/tra";
    layout.ImagesFolder[i] = instr + "/images";
  }
  for (const std::string& f :
       {layout.Install, layout.Out + "/images", layout.Out + "/resized", layout.Out + "/qc",
        layout.Out + "/qc-reports", layout.Out + "/xml", layout.Out + "/glims", layout.TraFolder[0],
        layout.TraFolder[1], layout.ImagesFolder[0], layout.ImagesFolder[1]}) {
    fs::create_directories(f, ec);
    if (ec) {
      std::cerr << "samplelab: cannot create " << f << ": " << ec.message() << "\n";
      return false;
    }
  }

  const std::string ini =
      "; Sample laboratory generated by samplelab\r\n"
      "[Main]\r\n"
      "Prefix=UP\r\nExtension=tra\r\n"
      "Cycle=5\r\nStarting_delay=0\r\ncolor_log=1\r\n"
      "ImageFormat=jpg\r\nLanguage=fr\r\nResizeFactor=33\r\n"
      "ImageDest=" +
      layout.Out +
      "/images\r\n"
      "ResizedImageDest=" +
      layout.Out +
      "/resized\r\n"
      "QCDest=" +
      layout.Out +
      "/qc\r\n"
      "QCReportDest=" +
      layout.Out +
      "/qc-reports\r\n"
      "Dest_Vededavav=" +
      layout.Out +
      "/xml\r\n"
      "InfoToLis=" +
      layout.Out +
      "/glims\r\n"
      "InfoToLisPrefix=LIS\r\n"
      "[Multi]\r\n"
      "instrCount=2\r\n"
      "traVelmar1=" +
      layout.TraFolder[0] +
      "\r\n"
      "imagesVelmar1=" +
      layout.ImagesFolder[0] +
      "\r\n"
      "traVelmar2=" +
      layout.TraFolder[1] +
      "\r\n"
      "imagesVelmar2=" +
      layout.ImagesFolder[1] + "\r\n";
  if (!WriteFile(layout.Install + "/config.ini", ini)) return false;

  // QC targets: tab-separated, level in the first column, reagents from the fourth.
  const std::string targets =
      "Niveau\tMateriel\tCommentaire\tAnti-A\tAnti-B\tAnti-D\tCtrl\tA1-Cells\tB-Cells\r\n"
      "1\tQC-A\tniveau 1\t4+\tNEG\t4+\tNEG\tNEG\t4+\r\n"
      "2\tQC-B\tniveau 2\tNEG\t4+\tNEG\tNEG\t4+\tNEG\r\n";
  if (!WriteFile(layout.Install + "/QC_Target_qual.csv", targets)) return false;

  const std::string today = platform::FormatDateTime("yyyymmdd", platform::Now());
  const std::string when = platform::FormatDateTime("yyyymmddhhnnss", platform::Now());
  for (const TSampleFile& file : SampleFiles(today)) {
    const std::string folder = layout.TraFolder[file.Instrument - 1];
    if (!WriteFile(folder + "/" + file.FileName, BuildResultText(file, when))) return false;
  }
  if (!photos) return true;

  // One photograph per cassette.
  unsigned seed = 1;
  for (const TSampleFile& file : SampleFiles(today)) {
    for (const TSampleResult& r : file.Results) {
      for (const TSampleCassette& c : r.Cassettes) {
        std::string error;
        const std::string path = layout.ImagesFolder[file.Instrument - 1] + "/" + c.PhotoFile;
        if (!WriteCassettePhoto(c, seed++, path, error)) {
          std::cerr << "samplelab: cannot write " << path << ": " << error << "\n";
          return false;
        }
      }
    }
  }
  return true;
}

}  // namespace samplelab
