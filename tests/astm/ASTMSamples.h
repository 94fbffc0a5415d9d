#pragma once

// Result-file text for the parser tests, built from records so that each
// value sits at its field position.

#include <map>
#include <string>
#include <vector>

namespace astm_samples {

// A record line: the record letter as field 0, then each given field at its
// position, the fields between left empty.
inline std::string Rec(const std::string& type, const std::map<int, std::string>& fields) {
  std::string line = type;
  int at = 0;
  for (const auto& [index, value] : fields) {
    for (; at < index; ++at) line += '|';
    line += value;
  }
  return line;
}

inline std::string Join(const std::vector<std::string>& lines, const std::string& eol = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + eol;
  return text;
}

inline std::string Header() {
  return Rec("H", {{1, "\\^&"},
                   {4, "ZID^IH-500^5.2^SN1234"},
                   {11, "P"},
                   {12, "LIS2-A"},
                   {13, "20240506070809"}});
}
inline std::string Patient(const std::string& id = "PAT001",
                           const std::string& name = "Hélène^Dupont") {
  return Rec("P", {{1, "1"}, {2, id}, {5, name}, {7, "19800101"}, {8, "F"}});
}
inline std::string Order(const std::string& sampleId, const std::string& test = "ABO/RH") {
  return Rec("O", {{1, "1"},
                   {2, sampleId},
                   {4, test},
                   {5, "N"},
                   {6, "20240506070000"},
                   {15, "Blood"},
                   {22, "20240506080000"},
                   {25, "F"}});
}
inline std::string Result(const std::string& code, const std::string& value = "POS") {
  return Rec("R", {{1, "1"},
                   {2, code},
                   {3, value},
                   {6, "N"},
                   {8, "F"},
                   {10, "OPER"},
                   {12, "20240506075000"},
                   {13, "SN1234"}});
}
inline std::string M(const std::string& reagent, int well, const std::string& image,
                     const std::string& grade = "40^") {
  return Rec("M", {{1, std::to_string(well)},
                   {2, reagent},
                   {3, "ABO-D^" + std::to_string(well) + "^CAS001^LOT1^20250101^bw_" + image + "^" +
                           image},
                   {4, reagent + "^RL1^20250201"},
                   {5, grade}});
}
inline std::string End() {
  return "L|1|N";
}

// One order with one result read on two wells of one cassette (the same
// photograph named in two letter cases), one well in error.
inline std::vector<std::string> SampleLines() {
  return {Header(),
          Patient(),
          Order("S001"),
          Result("ABO"),
          M("Anti-A", 1, "col1.jpg"),
          M("Anti-B", 2, "COL1.JPG", "-118^B"),
          End()};
}

}  // namespace astm_samples
