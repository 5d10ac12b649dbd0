#include "base/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace {

TEST(OverwriteFile, CreatesThenReplacesLongerAndShorterContent) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("quorb-overwrite-" + std::to_string(getpid())))
          .string();
  for (const std::string content : {"a longer first text\n", "short\n", "", "grown again\n"}) {
    ASSERT_TRUE(base::OverwriteFile(path, content));
    EXPECT_EQ(base::ReadFile(path), content);
  }
  std::filesystem::remove(path);
  EXPECT_FALSE(base::OverwriteFile("/nonexistent-dir/x", "x"));
}

}  // namespace
