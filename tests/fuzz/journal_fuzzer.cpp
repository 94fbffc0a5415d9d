// libFuzzer target: the journal entry of a file in progress, read back after
// a crash. Any bytes may stand in the entry file, as they are or behind a
// valid seal; an entry that is accepted must be written back and read again
// unchanged. Then a whole entry is damaged (cut short, or one byte altered)
// where the input says: the damaged entry must be refused, or read exactly
// as it was written, so that it is never taken for another file's identity
// or for stages it does not hold.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "processing/UResultJournal.h"

using fuzz_support::Check;

namespace {

bool SameEntry(const TJournalEntry& a, const TJournalEntry& b) {
  if (!(a.Identity == b.Identity) || a.Stages.size() != b.Stages.size()) return false;
  for (size_t s = 0; s < a.Stages.size(); ++s) {
    const TStageRecord& x = a.Stages[s];
    const TStageRecord& y = b.Stages[s];
    if (x.Stage != y.Stage || x.Output != y.Output || x.Images.size() != y.Images.size()) {
      return false;
    }
    for (size_t i = 0; i < x.Images.size(); ++i) {
      const TImageResult& p = x.Images[i];
      const TImageResult& q = y.Images[i];
      if (p.Success != q.Success || p.VerifResult != q.VerifResult ||
          p.OutputPath != q.OutputPath || p.ResizedPath != q.ResizedPath) {
        return false;
      }
    }
  }
  return true;
}

// An entry made from the input, for when the input itself is not one.
TJournalEntry EntryFrom(const std::string& bytes) {
  TJournalEntry e;
  e.Identity = {bytes.substr(0, 40), static_cast<int64_t>(bytes.size()), ContentHash(bytes)};
  e.Stages.push_back({"qc", "3", {}});
  TStageRecord images{"images", "2", {}};
  TImageResult picture;
  picture.Success = true;
  picture.VerifResult = bvrMismatch;
  picture.OutputPath = "/out/img/" + bytes.substr(0, 12) + ".jpg";
  picture.ResizedPath = "/out/small/a\tb\\c.jpg";
  images.Images.push_back(picture);
  images.Images.push_back(TImageResult{});
  e.Stages.push_back(images);
  e.Stages.push_back({"xml", "/out/xml/" + bytes.substr(0, 8) + ".xml", {}});
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t at = static_cast<size_t>(data[0]) << 8 | data[1];
  const uint8_t mask = data[2];
  const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);

  const TResultJournal journal(platform::JoinPath(fuzz_support::ScratchFolder(), "journal"));
  const std::string resultFile = "/lab/tra/UP_0001.tra";
  const std::string entryFile = journal.EntryPath(resultFile);

  // Any bytes as an entry, as they stand and sealed as the journal seals its
  // entries (so that the lines behind the seal are read too): one accepted
  // reads back the same once rewritten.
  const std::string lines = "journal\t2\n" + bytes;
  const std::string sealed =
      lines +
      platform::Format("end\t%016llx\n", static_cast<unsigned long long>(ContentHash(lines)));
  TJournalEntry read;
  bool accepted = journal.LoadEntryFile(fuzz_support::WriteScratch("input.jnl", bytes), read);
  if (!accepted) {
    accepted = journal.LoadEntryFile(fuzz_support::WriteScratch("sealed.jnl", sealed), read);
  }
  TJournalEntry entry = accepted ? read : EntryFrom(bytes);
  Check(journal.Save(resultFile, entry).Ok());
  TJournalEntry again;
  Check(journal.Load(resultFile, again) && SameEntry(again, entry));

  // The same entry damaged: refused, or read exactly as written.
  std::string whole;
  Check(platform::ReadFileBytes(entryFile, whole).Ok() && !whole.empty());
  std::string damaged = whole;
  if (mask == 0) {
    damaged.resize(at % whole.size());
  } else {
    damaged[at % whole.size()] = static_cast<char>(damaged[at % whole.size()] ^ mask);
  }
  Check(platform::WriteFileBytes(entryFile, damaged).Ok());
  TJournalEntry torn;
  if (journal.Load(resultFile, torn)) Check(SameEntry(torn, entry));
  return 0;
}
