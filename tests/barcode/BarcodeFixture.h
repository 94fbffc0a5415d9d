#pragma once

// A temporary install folder with the logger running (debug lines on) and
// the barcode reader loaded from the system, released after each test.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "barcode/UZBar.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "support/TempFolder.h"

namespace barcode_testing {

class BarcodeTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    config_.ExeFolder = Path("exe/");
    config_.LogFolder = Path("exe/log");
    config_.ColorLog = true;
    sink_ = std::make_shared<testing_support::TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
    InitLogger(config_, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeZBar();
    SetZBarSystemLibraryForTesting("");
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    TempFolderTest::TearDown();
  }

  // Loads the reader from the (empty) executable folder, hence the system.
  void LoadReader() { ASSERT_TRUE(InitZBar(config_.ExeFolder)); }

  // Lines of a log file (UTF-8), without their time stamp.
  std::vector<std::string> Lines(const std::string& file) const {
    return testing_support::ReadLogLines(platform::JoinPath(config_.LogFolder, file));
  }
  // Lines of `file` that contain `part`.
  std::vector<std::string> LinesWith(const std::string& file, const std::string& part) const {
    std::vector<std::string> out;
    for (const std::string& line : Lines(file))
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }
  std::string FlagText() const {
    return testing_support::ReadAnsiText(config_.ExeFolder + FLAG_PROCESSING_ERROR);
  }

  TAppConfig config_;
  std::shared_ptr<testing_support::TRecordingEventSink> sink_;
};

}  // namespace barcode_testing
