// The watch of the Program command on a real file: a change is taken up once it has settled
// and the programmer is idle, once per change; a file taken away is waited for.

#include "ui/program_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace bq {
namespace {

TEST(ProgramWatch, EachSettledChangeIsDueOnceWhenIdle) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("bq-program-watch-" +
                                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                                      ".hex");
  auto build = [&file](const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
  };
  build("one");
  ProgramWatch watch;
  EXPECT_FALSE(watch.Due(true));  // not watching
  watch.Begin(file.string());
  EXPECT_TRUE(watch.active());
  EXPECT_FALSE(watch.Due(true));  // the file as it was when the watch began

  build("second");
  EXPECT_FALSE(watch.Due(true));  // changed since the last tick: a build may still write it
  EXPECT_FALSE(watch.Due(false));  // settled, but the programmer works
  EXPECT_TRUE(watch.Due(true));
  EXPECT_FALSE(watch.Due(true));  // once per change

  std::filesystem::remove(file);
  EXPECT_FALSE(watch.Due(true));
  EXPECT_FALSE(watch.Due(true));  // gone: waited for
  build("the third");  // another size: file times may be coarse
  EXPECT_FALSE(watch.Due(true));
  EXPECT_TRUE(watch.Due(true));

  build("fourth");
  watch.End();
  EXPECT_FALSE(watch.Due(true));
  EXPECT_FALSE(watch.Due(true));
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace bq
