#include "qc/UQCTarget.h"

#include <array>
#include <unordered_map>
#include <vector>

#include "platform/Files.h"
#include "platform/Text.h"

namespace {

// One table per QC level 1..4, keyed by the reagent name in upper case.
std::array<std::unordered_map<std::string, std::string>, 4> GTargets;
std::vector<std::string> GColHeaders;
bool GLoaded = false;

}  // namespace

int LoadQCTargets(const std::string& FilePath) {
  for (auto& table : GTargets) table.clear();
  GColHeaders.clear();
  GLoaded = false;
  int accepted = 0;

  if (!platform::FileExists(FilePath)) return 0;
  std::string bytes;
  if (!platform::ReadFileBytes(FilePath, bytes).Ok()) return 0;
  const std::vector<std::string> lines =
      platform::SplitLines(platform::DecodeText(bytes, platform::TNoBomEncoding::ansi));
  if (lines.size() < 2) return 0;

  const std::vector<std::string> header = platform::SplitKeepEmpty(lines[0], '\t');
  for (size_t k = 3; k < header.size(); ++k) GColHeaders.push_back(platform::Trim(header[k]));

  for (size_t n = 1; n < lines.size(); ++n) {
    if (platform::Trim(lines[n]).empty()) continue;
    const std::vector<std::string> fields = platform::SplitKeepEmpty(lines[n], '\t');
    if (fields.size() <= 3) continue;
    const int level = platform::DecimalToIntDef(platform::Trim(fields[0]), 0);
    if (level < 1 || level > 4) continue;
    auto& table = GTargets[static_cast<size_t>(level - 1)];
    for (size_t k = 3; k < fields.size(); ++k) {
      if (k - 3 >= GColHeaders.size()) break;
      const std::string& reagent = GColHeaders[k - 3];
      if (reagent.empty()) continue;
      std::string value = platform::Trim(fields[k]);
      const std::string key = platform::UpperAscii(reagent);
      if (value.empty()) {
        table.erase(key);
      } else {
        table[key] = std::move(value);
      }
    }
    ++accepted;
  }
  GLoaded = accepted > 0;
  return accepted;
}

std::string ExtractQCLevel(const std::string& TestName) {
  const std::string name = platform::Trim(TestName);
  for (size_t i = name.size(); i > 0; --i) {
    const char c = name[i - 1];
    if (c >= '1' && c <= '4') return std::string(1, c);
  }
  return {};
}

std::string GetQCTargetValue(const std::string& Level, const std::string& Reagent) {
  if (!GLoaded) return {};
  const int level = platform::DecimalToIntDef(platform::Trim(Level), 0);
  if (level < 1 || level > 4) return {};
  const auto& table = GTargets[static_cast<size_t>(level - 1)];
  const auto it = table.find(platform::UpperAscii(Reagent));
  return it != table.end() ? it->second : std::string();
}

bool IsPositive(const std::string& V) {
  const std::string v = platform::UpperAscii(platform::Trim(V));
  return !(v.empty() || v == "0" || v == "-" || v == "NEG");
}

std::string CheckQCResult(const std::string& Grade, const std::string& Target) {
  if (platform::Trim(Target).empty()) return {};
  return IsPositive(Grade) == IsPositive(Target) ? "OK" : "NOK";
}
