// seed_maker: writes the seeds the fuzz targets' seed scripts cannot write
// as text, made by the code the tests use.
//   seed_maker photos FOLDER   small cassette photographs (JPEG)
//   seed_maker journal FOLDER  journal entries, as inputs of journal_fuzzer
#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "processing/UResultJournal.h"
#include "samplelab/SamplePhoto.h"

namespace {

bool Photos(const std::string& folder) {
  const struct { int Width, Height, Noise; } sizes[] = {{16, 24, 0}, {40, 60, 3}, {96, 144, 3}};
  for (const auto& s : sizes) {
    TSamplePhotoOptions options;
    options.Width = s.Width;
    options.Height = s.Height;
    options.Noise = s.Noise;
    std::string error;
    const std::string path = platform::JoinPath(
        folder, std::to_string(s.Width) + "x" + std::to_string(s.Height) + ".jpg");
    if (!WriteSamplePhoto(options, path, error)) {
      std::fprintf(stderr, "seed_maker: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

bool Journal(const std::string& folder) {
  const TResultJournal journal(platform::JoinPath(folder, ".journal"));
  TJournalEntry entry;
  entry.Identity = {"UP_260101.tra", 1834, ContentHash("H|\\^&|||")};
  TImageResult picture;
  picture.Success = true;
  picture.VerifResult = bvrOK;
  picture.OutputPath = "/out/img/S001_CAS001.jpg";
  picture.ResizedPath = "/out/small/S001_CAS001.jpg";
  const TStageRecord stages[] = {{"qc", "0", {}},
                                 {"images", "1", {picture}},
                                 {"xml", "/out/xml/S001.xml", {}},
                                 {"glims", "", {}}};
  // One seed per stage count: the entry as it stands after each stage.
  for (size_t n = 0; n <= std::size(stages); ++n) {
    entry.Stages.assign(stages, stages + n);
    const std::string resultFile = "/lab/tra/" + entry.Identity.Name;
    std::string bytes;
    if (!journal.Save(resultFile, entry).Ok() ||
        !platform::ReadFileBytes(journal.EntryPath(resultFile), bytes).Ok()) {
      return false;
    }
    // journal_fuzzer reads a damage position and mask before the entry.
    const std::string seed = std::string("\x00\x10\x00", 3) + bytes;
    if (!platform::WriteFileBytes(platform::JoinPath(folder, "entry" + std::to_string(n)), seed)
             .Ok()) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: seed_maker photos|journal FOLDER\n");
    return 2;
  }
  const std::string kind = argv[1];
  const std::string folder = argv[2];
  if (!platform::MakeFolders(folder).Ok()) return 1;
  if (kind == "photos") return Photos(folder) ? 0 : 1;
  if (kind == "journal") return Journal(folder) ? 0 : 1;
  return 2;
}
