#include "platform/executable_folder.h"

#include <gtest/gtest.h>

namespace bq {
namespace {

TEST(ExecutableFolder, IsTheFolderThatHoldsTheRunningProgram) {
  const std::filesystem::path folder = ExecutableFolder();
  EXPECT_TRUE(folder.is_absolute()) << folder;
  EXPECT_TRUE(std::filesystem::is_regular_file(folder / "test_platform")) << folder;
}

}  // namespace
}  // namespace bq
