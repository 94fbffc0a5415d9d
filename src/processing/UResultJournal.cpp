#include "processing/UResultJournal.h"

#include <cstdlib>
#include <initializer_list>

#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr size_t kEntryNameChars = 64;

// Values are written one line each, fields apart by tabs: a backslash, a tab
// or a line end inside a value is escaped.
std::string Escape(std::string_view Value) {
  std::string out;
  for (const char c : Value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view Value) {
  std::string out;
  for (size_t i = 0; i < Value.size(); ++i) {
    if (Value[i] != '\\' || i + 1 == Value.size()) {
      out += Value[i];
      continue;
    }
    const char c = Value[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

// The first line of an entry of this format (sealed by its last line).
constexpr std::string_view kFormatLine = "journal\t2\n";

std::string Line(std::initializer_list<std::string> Fields) {
  std::string out;
  for (const std::string& f : Fields) {
    if (!out.empty()) out += '\t';
    out += Escape(f);
  }
  return out + "\n";
}

bool ReadNumber(const std::string& Text, long long& Value) {
  if (Text.empty()) return false;
  char* end = nullptr;
  Value = std::strtoll(Text.c_str(), &end, 10);
  return end != nullptr && *end == '\0';
}

std::string Hex(uint64_t Value) {
  return platform::Format("%016llx", static_cast<unsigned long long>(Value));
}

}  // namespace

uint64_t ContentHash(std::string_view Bytes) {
  return platform::Fnv1a64(Bytes);
}

const TStageRecord* TJournalEntry::Find(const std::string& Stage) const {
  for (const TStageRecord& r : Stages) {
    if (r.Stage == Stage) return &r;
  }
  return nullptr;
}

std::string TResultJournal::EntryPath(const std::string& FilePath) const {
  const std::string name = platform::Utf8Left(
      platform::MakeSafeFileName(platform::ExtractFileName(FilePath)), kEntryNameChars);
  return platform::JoinPath(FFolder, name + "." + Hex(ContentHash(FilePath)) + ".jnl");
}

bool TResultJournal::Load(const std::string& FilePath, TJournalEntry& Entry) const {
  return LoadEntryFile(EntryPath(FilePath), Entry);
}

std::vector<std::string> TResultJournal::EntryFiles() const {
  std::vector<std::string> names;
  if (!platform::ListFiles(FFolder, "*.jnl", names).Ok()) return {};
  for (std::string& name : names) name = platform::JoinPath(FFolder, name);
  return names;
}

bool TResultJournal::LoadEntryFile(const std::string& EntryFile, TJournalEntry& Entry) const {
  Entry = TJournalEntry{};
  std::string bytes;
  if (!platform::ReadFileBytes(EntryFile, bytes).Ok()) return false;
  // An entry begins with the format line and ends with a seal, a checksum of
  // every byte before it: one cut short or altered by a disk fault is not
  // taken for an entry. An entry without the format line was written by an
  // earlier version, which wrote no seal: it is read as it stands, so that a
  // file interrupted before an upgrade still skips the stages it did.
  if (bytes.rfind(kFormatLine, 0) == 0) {
    if (bytes.size() < 2 || bytes.back() != '\n') return false;
    const size_t lastBreak = bytes.rfind('\n', bytes.size() - 2);
    const size_t sealAt = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    const std::string_view body(bytes.data(), sealAt);
    if (std::string_view(bytes).substr(sealAt) != Line({"end", Hex(ContentHash(body))})) {
      return false;
    }
    bytes = bytes.substr(kFormatLine.size(), sealAt - kFormatLine.size());
  }
  bool named = false, sized = false, hashed = false;
  for (const std::string& raw : platform::SplitLines(bytes)) {
    std::vector<std::string> f = platform::SplitKeepEmpty(raw, '\t');
    for (std::string& piece : f) piece = Unescape(piece);
    const std::string& key = f[0];
    long long number = 0;
    if (key == "name" && f.size() == 2) {
      Entry.Identity.Name = f[1];
      named = true;
    } else if (key == "size" && f.size() == 2 && ReadNumber(f[1], number)) {
      Entry.Identity.Size = number;
      sized = true;
    } else if (key == "hash" && f.size() == 2) {
      char* end = nullptr;
      Entry.Identity.Hash = std::strtoull(f[1].c_str(), &end, 16);
      hashed = !f[1].empty() && end != nullptr && *end == '\0';
    } else if (key == "stage" && f.size() == 3) {
      Entry.Stages.push_back({f[1], f[2], {}});
    } else if (key == "image" && f.size() == 5 && !Entry.Stages.empty() &&
               ReadNumber(f[2], number) && number >= bvrOK && number <= bvrSkipped) {
      TImageResult r;
      r.Success = f[1] == "1";
      r.VerifResult = static_cast<TBarcodeVerifResult>(number);
      r.OutputPath = f[3];
      r.ResizedPath = f[4];
      Entry.Stages.back().Images.push_back(std::move(r));
    } else {
      return false;  // not an entry this service wrote
    }
  }
  return named && sized && hashed;
}

platform::TOsResult TResultJournal::Save(const std::string& FilePath,
                                         const TJournalEntry& Entry) const {
  if (!platform::FolderExists(FFolder)) {
    const platform::TOsResult made = platform::MakeFolders(FFolder);
    if (!made.Ok()) return made;
  }
  std::string text = std::string(kFormatLine) + Line({"name", Entry.Identity.Name}) +
                     Line({"size", std::to_string(Entry.Identity.Size)}) +
                     Line({"hash", Hex(Entry.Identity.Hash)});
  for (const TStageRecord& r : Entry.Stages) {
    text += Line({"stage", r.Stage, r.Output});
    for (const TImageResult& i : r.Images) {
      text += Line({"image", i.Success ? "1" : "0", std::to_string(static_cast<int>(i.VerifResult)),
                    i.OutputPath, i.ResizedPath});
    }
  }
  text += Line({"end", Hex(ContentHash(text))});
  return platform::WriteFileReplacing(EntryPath(FilePath), text, /*sync=*/true);
}

void TResultJournal::Remove(const std::string& FilePath) const {
  RemoveEntryFile(EntryPath(FilePath));
}

void TResultJournal::RemoveEntryFile(const std::string& EntryFile) const {
  if (platform::RemoveFile(EntryFile).Ok()) (void)platform::FlushFolder(FFolder);
}
