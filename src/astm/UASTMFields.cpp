// Field access, dates, grades and the message list of UASTMParser.h.
#include <algorithm>

#include "astm/UASTMParser.h"
#include "platform/Text.h"

namespace {

// Splits at `delim` only; a piece that begins with a double quote is read as
// a quoted string up to its matching closing quote ("" stands for one quote).
std::vector<std::string> SplitPieces(const std::string& text, char delim) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t i = 0;
  while (true) {
    std::string piece;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            piece += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        piece += text[i++];
      }
      // Text after the closing quote up to the delimiter belongs to the piece.
      while (i < text.size() && text[i] != delim) piece += text[i++];
    } else {
      while (i < text.size() && text[i] != delim) piece += text[i++];
    }
    pieces.push_back(std::move(piece));
    if (i >= text.size()) break;
    ++i;  // the delimiter
    if (i == text.size()) {
      pieces.emplace_back();  // a delimiter at the very end gives a last empty piece
      break;
    }
  }
  return pieces;
}

std::string Piece(const std::string& text, char delim, int index) {
  if (index < 0) return {};
  const std::vector<std::string> pieces = SplitPieces(text, delim);
  return static_cast<size_t>(index) < pieces.size() ? pieces[static_cast<size_t>(index)]
                                                    : std::string();
}

int DigitsValue(const std::string& s) {
  int32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
  }
  return platform::TryStrToInt(s, v) ? v : 0;
}

}  // namespace

std::string GetField(const std::string& Line, int FieldIndex) {
  return Piece(Line, DELIM_FIELD, FieldIndex);
}

std::string GetComponent(const std::string& Field, int ComponentIndex) {
  return Piece(Field, DELIM_COMPONENT, ComponentIndex - 1);
}

TDateTime ASTMDateToDateTime(const std::string& DateStr) {
  if (DateStr.size() < 8) return 0;
  const int year = DigitsValue(DateStr.substr(0, 4));
  const int month = DigitsValue(DateStr.substr(4, 2));
  const int day = DigitsValue(DateStr.substr(6, 2));
  if (year < 1900 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31) return 0;
  platform::TDateParts parts;
  parts.year = year, parts.month = month, parts.day = day;
  if (DateStr.size() >= 14) {
    parts.hour = DigitsValue(DateStr.substr(8, 2));
    parts.minute = DigitsValue(DateStr.substr(10, 2));
    parts.second = DigitsValue(DateStr.substr(12, 2));
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

void TUniqueStringList::Add(const std::string& s) {
  auto it = std::lower_bound(items_.begin(), items_.end(), s,
                             [](const std::string& a, const std::string& b) {
                               return platform::CompareTextAscii(a, b) < 0;
                             });
  if (it != items_.end() && platform::SameTextAscii(*it, s)) return;
  items_.insert(it, s);
}

bool TUniqueStringList::Contains(const std::string& s) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), s,
                             [](const std::string& a, const std::string& b) {
                               return platform::CompareTextAscii(a, b) < 0;
                             });
  return it != items_.end() && platform::SameTextAscii(*it, s);
}
