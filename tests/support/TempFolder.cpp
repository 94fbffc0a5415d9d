#include "support/TempFolder.h"

#include "platform/Files.h"
#include "platform/Text.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>

namespace testing_support {

std::string MakeUniqueTempFolder(const std::string& tag) {
  // The system's temporary folder ($TMPDIR on POSIX), a name of the tag and
  // random letters, created only when no other test holds it.
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return {};
  static std::mt19937_64 generator{std::random_device{}()};
  static std::mutex randomMutex;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = tag + "-";
    {
      std::lock_guard<std::mutex> lock(randomMutex);
      for (int i = 0; i < 8; ++i) name += "abcdefghijklmnopqrstuvwxyz0123456789"[generator() % 36];
    }
    const std::filesystem::path folder = base / name;
    if (std::filesystem::create_directory(folder, error)) {
      const std::u8string text = std::filesystem::path(folder).make_preferred().u8string();
      return std::string(text.begin(), text.end());
    }
    if (error) return {};
  }
  return {};
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
  const std::string all = ReadAll(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (true) {
    const size_t hit = all.find("\r\n", start);
    if (hit == std::string::npos) {
      if (start < all.size()) lines.push_back(all.substr(start));
      return lines;
    }
    lines.push_back(all.substr(start, hit - start));
    start = hit + 2;
  }
}

std::vector<std::string> ReadAnsiLines(const std::string& path) {
  std::vector<std::string> lines = ReadCrLfLines(path);
  for (std::string& l : lines) l = platform::AnsiToUtf8(l);
  return lines;
}

std::vector<std::string> ReadLogLines(const std::string& path) {
  // "[yyyy-mm-dd hh:nn:ss] " in front of every line the logger writes.
  constexpr size_t LOG_STAMP_LENGTH = 22;
  std::vector<std::string> lines = ReadAnsiLines(path);
  for (std::string& l : lines) {
    if (l.size() > LOG_STAMP_LENGTH) l.erase(0, LOG_STAMP_LENGTH);
  }
  return lines;
}

std::string ReadAnsiText(const std::string& path) {
  return platform::AnsiToUtf8(ReadAll(path));
}

bool AnyLineHas(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

std::string TempFolderTest::Path(const std::string& name) const {
  std::string path = dir_ + platform::PathDelimiter() + name;
  std::replace(path.begin() + static_cast<std::ptrdiff_t>(dir_.size()), path.end(), '/',
               platform::PathDelimiter());
  return path;
}

void TempFolderTest::SetUp() {
  dir_ = MakeUniqueTempFolder();
  ASSERT_FALSE(dir_.empty());
}

void TempFolderTest::TearDown() {
  if (HasFailure()) {
    std::cerr << "Note: test data has been left in " << dir_ << "\n";
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TRecordingEventSink::Report(platform::TEventKind kind, uint32_t eventId,
                                 const std::string& message,
                                 const platform::TEventDetails& details) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back({kind, eventId, message, details});
}

std::vector<TRecordedEvent> TRecordingEventSink::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

}  // namespace testing_support
