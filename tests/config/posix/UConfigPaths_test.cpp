// Configuration paths as Linux reads them: backslashes become "/", a path
// with one leading backslash lies under the executable's folder.
#include <gtest/gtest.h>

#include <string>

#include "config/UConfig.h"

TEST(ConfigPaths, NormalizePathInTheLinuxForm) {
  const std::string exe = "/opt/velmar/";
  EXPECT_EQ(NormalizePath("   ", exe), "");
  EXPECT_EQ(NormalizePath("\\data\\qc\\", exe), "/opt/velmar/data/qc");
  EXPECT_EQ(NormalizePath("\\", exe), "/opt/velmar");
  EXPECT_EQ(NormalizePath("\\\\srv\\share\\", exe), "//srv/share");
  EXPECT_EQ(NormalizePath("C:\\x\\", exe), "C:/x");
  EXPECT_EQ(NormalizePath(" /data/qc/ ", exe), "/data/qc");
  EXPECT_EQ(NormalizePath("relative/name", exe), "relative/name");
  EXPECT_EQ(NormalizePath("/", exe), "/");
}
