// libFuzzer target: status.txt as "-status" reads it (a power loss may leave
// it empty or cut short, a person may have edited it). Beyond crashes it
// aborts when the verdict is out of range, when the first line does not
// state the verdict returned, or when a file without a state is not
// reported critical.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "platform/Clock.h"
#include "platform/Strings.h"
#include "processing/UServiceStatus.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fixed clock: the same file always gets the same verdict.
  static const bool clockSet = [] {
    platform::SetNowForTesting([] { return 46000.5; });  // 9 December 2025, noon
    return true;
  }();
  (void)clockSet;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzz_support::WriteScratch(STATUS_FILE_NAME, bytes);

  std::ostringstream out;
  const int verdict = PrintServiceStatus(fuzz_support::ScratchFolder(), out);
  Check(verdict == STATUS_OK || verdict == STATUS_WARNING || verdict == STATUS_CRITICAL);
  const std::string text = out.str();
  static const char* const kWords[] = {"OK", "AVERTISSEMENT", "CRITIQUE"};
  const std::string word = kWords[verdict];
  Check(text.compare(0, word.size(), word) == 0 && text.back() == '\n');
  Check(text.size() < word.size() + 1 || text[word.size()] == ' ' || text[word.size()] == '\n');

  bool stated = false;
  for (const std::string& line : platform::SplitLines(bytes)) {
    stated = stated || line.rfind(std::string(STATUS_KEY_STATE) + "=", 0) == 0;
  }
  if (!stated) Check(verdict == STATUS_CRITICAL);
  return 0;
}
