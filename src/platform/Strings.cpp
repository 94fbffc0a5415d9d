#include "platform/Strings.h"

namespace platform {

namespace {

bool IsTrimmed(unsigned char c) {
  return c <= 32;
}

}  // namespace

bool NextLine(std::string_view text, size_t& pos, std::string_view& line) {
  const size_t n = text.size();
  if (pos >= n) return false;
  size_t brk = pos;
  while (brk < n && text[brk] != '\r' && text[brk] != '\n') ++brk;
  line = text.substr(pos, brk - pos);
  pos = brk;
  if (pos < n) {
    if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') ++pos;
    ++pos;
  }
  return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  std::string_view line;
  while (NextLine(text, pos, line)) lines.emplace_back(line);
  return lines;
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && IsTrimmed(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Trim(std::string_view s) {
  return std::string(TrimView(s));
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::vector<std::string> SplitKeepEmpty(std::string_view s, char delim) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t hit = s.find(delim, start);
    if (hit == std::string_view::npos) {
      pieces.emplace_back(s.substr(start));
      return pieces;
    }
    pieces.emplace_back(s.substr(start, hit - start));
    start = hit + 1;
  }
}

}  // namespace platform
