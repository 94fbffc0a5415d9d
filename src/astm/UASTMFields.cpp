// Field access, dates, grades and the message list of UASTMParser.h.
#include <algorithm>
#include <string_view>

#include "astm/UASTMParser.h"
#include "platform/Text.h"

namespace {

// A decimal number made of digits only ("+1", " 1" or "$1" are not dates);
// 0 when not numeric.
int DigitsValue(std::string_view s) {
  if (!platform::IsDigits(s)) return 0;
  int value = 0;
  for (char c : s) value = value * 10 + (c - '0');  // at most 4 digits: no overflow
  return value;
}

}  // namespace

std::vector<std::string> SplitASTMText(const std::string& Text, char Delim, size_t MaxPieces) {
  std::vector<std::string> pieces;
  const size_t n = Text.size();
  if (n == 0 || MaxPieces == 0) return pieces;
  size_t i = 0;  // start of the current piece, always < n here
  while (true) {
    std::string piece;
    if (Text[i] == '"') {
      // A quoted piece runs to its closing quote, delimiters included; a
      // doubled quote stands for one quote. Without a closing quote it runs
      // to the end of the text.
      ++i;
      while (i < n) {
        const size_t quote = Text.find('"', i);
        if (quote == std::string::npos) {
          piece.append(Text, i, std::string::npos);
          i = n;
          break;
        }
        piece.append(Text, i, quote - i);
        i = quote + 1;
        if (i < n && Text[i] == '"') {
          piece += '"';
          ++i;
          continue;
        }
        break;
      }
    }
    // Plain text, or what follows a closing quote, up to the delimiter.
    const size_t end = std::min(Text.find(Delim, i), n);
    piece.append(Text, i, end - i);
    pieces.push_back(std::move(piece));
    if (end == n || pieces.size() == MaxPieces) break;
    i = end + 1;
    if (i == n) {
      pieces.emplace_back();  // a delimiter at the very end gives a last empty piece
      break;
    }
  }
  return pieces;
}

TDateTime ASTMDateToDateTime(const std::string& DateStr) {
  // Positions count characters; a non-ASCII character is one position (and
  // never a digit).
  const std::vector<char32_t> chars = platform::Utf8CodePoints(DateStr);
  if (chars.size() < 8) return 0;
  auto part = [&chars](size_t from, size_t count) {
    std::string digits;
    for (size_t k = from; k < from + count; ++k) {
      digits += chars[k] < 0x80 ? static_cast<char>(chars[k]) : 'x';
    }
    return DigitsValue(digits);
  };
  platform::TDateParts parts;
  parts.Year = part(0, 4);
  parts.Month = part(4, 2);
  parts.Day = part(6, 2);
  if (parts.Year < 1900 || parts.Year > 2100 || parts.Month < 1 || parts.Month > 12 ||
      parts.Day < 1 || parts.Day > 31)
    return 0;
  parts.Hour = parts.Minute = parts.Second = 0;
  if (chars.size() >= 14) {
    parts.Hour = part(8, 2);
    parts.Minute = part(10, 2);
    parts.Second = part(12, 2);
  }
  TDateTime value = 0;
  return platform::TryEncodeDateTime(parts, value) ? value : 0;
}

std::string GradeToStr(int Grade) {
  switch (Grade) {
    case GRADE_0:
      return "0";
    case GRADE_WEAK:
      return "(+)";
    case GRADE_1PLUS:
      return "1+";
    case GRADE_2PLUS:
      return "2+";
    case GRADE_3PLUS:
      return "3+";
    case GRADE_4PLUS:
      return "4+";
    case GRADE_WELL_NOT_FOUND:
      return "ERR:Puit";
    case GRADE_WRONG_LIQUID:
      return "ERR:Liq";
    case GRADE_LIGHT_LOW:
      return "ERR:Lum-";
    case GRADE_LIGHT_HIGH:
      return "ERR:Lum+";
    case GRADE_CONTRAST:
      return "ERR:Contr";
    case GRADE_EMPTY_COL:
      return "ERR:Vide";
    case GRADE_TOO_FEW_CELLS:
      return "ERR:Cell-";
    case GRADE_TOO_MANY_CELLS:
      return "ERR:Cell+";
    case GRADE_MIXED_FIELD:
      return "ERR:Mix";
    case GRADE_INDETERMINATE:
      return "ERR:Indet";
    case GRADE_FIBRIN:
      return "ERR:Fibr";
    case GRADE_BUBBLE:
      return "ERR:Bulle";
    case GRADE_CELLS_DETECTED:
      return "ERR:Cell";
    case GRADE_FOCUS_ERROR:
      return "ERR:Focus";
    case GRADE_SPLASH:
      return "ERR:Eclab";
    case GRADE_TILT_ERROR:
      return "ERR:Incl";
    case GRADE_ROTATION_ERROR:
      return "ERR:Rot";
    case GRADE_SKEW_ERROR:
      return "ERR:Biais";
    case GRADE_WELL_FLUID:
      return "ERR:Fluid";
    default:
      break;
  }
  return Grade < 0 ? platform::Format("ERR:%d", Grade) : platform::Format("%d", Grade);
}

bool IsGradeError(int Grade) {
  return Grade < 0;
}

void FreeASTMMessage(TASTMMessage& Msg) {
  Msg.UniqueImages.Clear();
  Msg.Orders.clear();
}

bool TUniqueStringList::TLessText::operator()(const std::string& a, const std::string& b) const {
  return platform::CompareTextAscii(a, b) < 0;
}

void TUniqueStringList::Add(const std::string& s) {
  // insert keeps the spelling already there when an equal text exists.
  if (FSet.insert(s).second) FStale = true;
}

const std::vector<std::string>& TUniqueStringList::Items() const {
  if (FStale) {
    FItems.assign(FSet.begin(), FSet.end());
    FStale = false;
  }
  return FItems;
}

void TUniqueStringList::Clear() {
  FSet.clear();
  FItems.clear();
  FStale = false;
}
