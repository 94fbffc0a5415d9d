// libFuzzer target: the result-file parser fed from memory, plus the field
// access and date rules on the same bytes. Beyond crashes and sanitizer
// reports it aborts when a parsed message breaks its own invariants.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "astm/UASTMParser.h"
#include "platform/Text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckMessage(const TASTMMessage& msg) {
  Check(msg.IsValid == msg.ParseError.empty());
  Check(msg.IsValid == (msg.OrderCount() > 0));
  Check(msg.OrderCount() == static_cast<int>(msg.Orders.size()));
  const auto& images = msg.UniqueImages.Items();
  Check(msg.UniqueImages.Count() == static_cast<int>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    Check(!images[i].empty());
    if (i > 0) Check(platform::CompareTextAscii(images[i - 1], images[i]) < 0);
  }
  bool qc = false;
  for (const TOrderRecord& order : msg.Orders) {
    qc = qc || platform::StartsTextAscii(order.SampleID, "QC") ||
         platform::StartsTextAscii(order.TestName, "QC");
    for (const TRRecord& result : order.RRecords) {
      for (const TMRecord& m : result.MRecords) {
        Check(m.IsError == (m.Grade < 0));
        if (!m.ColorImageFile.empty()) {
          Check(std::binary_search(images.begin(), images.end(), m.ColorImageFile,
                                   [](const std::string& a, const std::string& b) {
                                     return platform::CompareTextAscii(a, b) < 0;
                                   }));
        }
      }
    }
  }
  Check(msg.IsQC == qc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  TASTMMessage msg;
  ParseASTMBytes(bytes, "fuzz.tra", msg);
  CheckMessage(msg);
  FreeASTMMessage(msg);
  Check(msg.OrderCount() == 0 && msg.UniqueImages.Count() == 0);

  // The field rules on the raw bytes: a split stopped at a limit gives the
  // first pieces of the whole split, and dates are 0 or in range.
  const std::vector<std::string> fields = SplitASTMText(bytes, DELIM_FIELD);
  for (size_t i = 0; i < fields.size() && i < 64; ++i) {
    const std::vector<std::string> upTo = SplitASTMText(bytes, DELIM_FIELD, i + 1);
    Check(upTo.size() == i + 1 && upTo.back() == fields[i]);
    const std::string& field = fields[i];
    const std::vector<std::string> first = SplitASTMText(field, DELIM_COMPONENT, 1);
    Check(field.empty() ? first.empty() : first.size() == 1 && first[0].size() <= field.size());
    const TDateTime date = ASTMDateToDateTime(field);
    Check(date == 0 || (date >= 1.0 && date < 73416.0));  // 1900-01-01 .. 2101-01-01
  }
  (void)GradeToStr(static_cast<int>(size) - 300);
  return 0;
}
