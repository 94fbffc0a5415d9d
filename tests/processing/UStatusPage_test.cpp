// The status page after real cycles: values from result files shown as text
// (a hostile sample identifier and file name), links that stay in the
// install folder, and lists that stay bounded whatever the history.
#include "processing/UStatusPage.h"

#include <gtest/gtest.h>

#include <regex>

#include "processing/PipelineLab.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadAll;
using testing_support::WriteAll;

class StatusPageTest : public pipeline_lab::TPipelineLabTest {};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(StatusPageTest, HostileValuesShowAsTextAndTheListsStayBounded) {
  // Every picture fails its barcode check and is set aside.
  SetBarcodeCheckForTesting([](const TRasterView&, const std::string&) { return bvrMismatch; });
  TAppConfig cfg;
  TConfigValidation validation;
  ASSERT_TRUE(LoadConfig(lab_.Install + "/", cfg, validation));
  cfg.ColorLog = false;
  InitQCManager(cfg);
  InitLogger(cfg, "VelmarImageService");
  // Ten thousand pictures set aside before: the page never lists them.
  const std::string wrong = lab_.Install + "/log/wrong_images";
  fs::create_directories(wrong);
  for (int i = 0; i < 10000; ++i) WriteAll(wrong + "/old_" + std::to_string(i) + ".jpg", "x");

  const std::string hostile = "'><img src=x onerror=alert(1)><script>";
  const std::string source = sources_.begin()->second;
  const std::string sample = "260103";
  ASSERT_NE(source.find(sample), std::string::npos);
  const std::string tra = fs::path(sources_.begin()->first).parent_path().string();
  TVelmarServiceThread thread(cfg);
  thread.SetWaitHookForTesting([](uint32_t) {});
  // Rounds of the sample's files until more pictures were set aside than the
  // page shows; a hostile file last.
  for (int round = 0; round < 12; ++round) {
    for (const auto& [path, bytes] : sources_) {
      WriteAll(path + std::to_string(round) + ".tra", bytes);
    }
    if (round == 11) {
      WriteAll(tra + "/UP_a&b'c;" + std::to_string(round) + ".tra",
               std::regex_replace(source, std::regex(sample), hostile));
    }
    for (int i = 1; i <= cfg.InstrCount; ++i) thread.ProcessInstrument(i);
  }
  // One cycle of the thread itself, which writes the page, then its stop.
  thread.SetWaitHookForTesting([&thread](uint32_t) { thread.RequestStop(); });
  thread.Execute();
  ASSERT_TRUE(Waiting().empty());
  const std::string page = ReadAll(lab_.Install + "/status.html");
  FinalizeLogger();

  EXPECT_EQ(page.find(hostile), std::string::npos);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img src=x"), std::string::npos);
  EXPECT_NE(page.find("&apos;&gt;&lt;img src=x onerror=alert(1)&gt;&lt;script&gt;"),
            std::string::npos);
  EXPECT_NE(page.find("UP_a&amp;b&apos;c;11.tra"), std::string::npos);
  // The newest twenty, each with its own thumbnail, the older ones' gone.
  EXPECT_EQ(Count(page, "class=\"thumb\""), STATUS_PAGE_SET_ASIDE);
  EXPECT_EQ(Count(page, "old_"), 0u);
  EXPECT_EQ(pipeline_lab::Entries(lab_.Install + "/log/status").size(), STATUS_PAGE_SET_ASIDE);
  EXPECT_EQ(Count(page, ".tra</td>"), STATUS_PAGE_RECENT_FILES);
  // Every link and picture is a relative path into the install folder.
  const std::regex link("(href|src)=\"([^\"]*)\"");
  int links = 0;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), link); it != std::sregex_iterator();
       ++it, ++links) {
    const std::string target = (*it)[2];
    EXPECT_EQ(target.rfind("log/", 0), 0u) << target;
    EXPECT_EQ(target.find(".."), std::string::npos) << target;
    std::string file = lab_.Install + "/";
    for (size_t i = 0; i < target.size(); ++i) {
      const bool escaped = target[i] == '%' && i + 2 < target.size();
      file +=
          escaped ? static_cast<char>(std::stoi(target.substr(i + 1, 2), nullptr, 16)) : target[i];
      if (escaped) i += 2;
    }
    EXPECT_TRUE(fs::exists(file)) << target;
  }
  EXPECT_EQ(links, 2 * static_cast<int>(STATUS_PAGE_SET_ASIDE));
}
