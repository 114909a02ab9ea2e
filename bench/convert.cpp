// Conversion of a 320 KiB image between Intel HEX and raw binary, whole process included:
// brindlequartz-cli convert against objcopy and srec_cat, measured in the same run on the
// same files. Targets: at least as fast as objcopy, three times faster than srec_cat.
// Without the CLI the in-process load and save are timed instead (informational only).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/memory_buffer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kRuns = 10;

// Runs argv with its output discarded; true when it exits with 0.
bool RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Best of kRuns in milliseconds; negative when any run failed.
double BestMs(const std::function<bool()>& run) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ToolPresent(const std::string& tool) {
  return RunProgram({"sh", "-c", "command -v " + tool});
}

// The output of a hex->bin conversion must be the source image; a bin->hex output must
// load back to it.
bool SameImage(const fs::path& output, const std::vector<std::uint8_t>& image) {
  if (output.extension() == ".bin") return ReadBytes(output) == image;
  bq::MemoryBuffer flash(bq::kFlashBufferBytes);
  return bq::LoadImageFile(flash, output.string()) == image.size() &&
         std::equal(image.begin(), image.end(), flash.data());
}

void Report(const char* name, double measured, const char* peer, double reference,
            const char* target) {
  if (measured < 0 || reference < 0) {
    std::printf("%s: could not measure (ours %.2f ms, %s %.2f ms)\n", name, measured, peer,
                reference);
    return;
  }
  std::printf("%s: measured %.2f ms, reference %s %.2f ms, ratio %.3f (target %s)\n", name,
              measured, peer, reference, measured / reference, target);
}

}  // namespace

int main() {
  const fs::path folder =
      fs::temp_directory_path() / ("bq_bench_convert_" + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string bin = (folder / "image.bin").string();
  const std::string hex = (folder / "image.hex").string();

  std::vector<std::uint8_t> image(bq::kFlashBufferBytes);
  std::mt19937 random(320);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  image.back() = 0x00;  // the last byte is programmed, so the whole image is saved
  {
    std::ofstream out(bin, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
  }
  {
    bq::MemoryBuffer flash(bq::kFlashBufferBytes);
    std::copy(image.begin(), image.end(), flash.data());
    if (!bq::SaveImageFile(flash, hex, 0, bq::kFlashBufferBytes - 1)) {
      std::printf("convert: cannot write %s\n", hex.c_str());
      return 1;
    }
  }
  std::printf("image: %zu bytes, Intel HEX %ju bytes, best of %d runs\n", image.size(),
              static_cast<std::uintmax_t>(fs::file_size(hex)), kRuns);

  const std::string cli = BQ_BINARY_DIR "/app/cli/brindlequartz-cli";
  const bool haveCli = fs::exists(cli);
  const bool haveObjcopy = ToolPresent("objcopy");
  const bool haveSrec = ToolPresent("srec_cat");

  struct Direction {
    const char* name;
    const char* versusSrec;
    std::string in, out;
    std::vector<std::string> objcopy, srec;
  };
  const std::string outBin = (folder / "out.bin").string();
  const std::string outHex = (folder / "out.hex").string();
  const Direction directions[] = {
      {"convert_hex_to_bin",
       "convert_hex_to_bin_vs_srec_cat",
       hex,
       outBin,
       {"objcopy", "-I", "ihex", "-O", "binary", hex, outBin},
       {"srec_cat", hex, "-Intel", "-o", outBin, "-Binary"}},
      {"convert_bin_to_hex",
       "convert_bin_to_hex_vs_srec_cat",
       bin,
       outHex,
       {"objcopy", "-I", "binary", "-O", "ihex", bin, outHex},
       {"srec_cat", bin, "-Binary", "-o", outHex, "-Intel"}},
  };

  int status = 0;
  for (const auto& d : directions) {
    // Every tool writes a new file (the output is removed before each run, untimed), and
    // the tools take turns run by run so that load changes on the machine hit all alike.
    struct Contender {
      const char* who;
      std::vector<std::string> argv;
      bool present;
      double best = 1e30;
      bool failed = false;
    };
    std::vector<Contender> contenders = {
        {"brindlequartz-cli", {cli, "convert", d.in, d.out}, haveCli},
        {"objcopy", d.objcopy, haveObjcopy},
        {"srec_cat", d.srec, haveSrec},
    };
    for (int run = 0; run < kRuns; ++run) {
      for (auto& c : contenders) {
        if (!c.present || c.failed) continue;
        fs::remove(d.out);
        const auto start = std::chrono::steady_clock::now();
        c.failed = !RunProgram(c.argv);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        c.best = std::min(c.best, took.count());
        if (!c.failed && run == 0 && !SameImage(d.out, image)) {
          std::printf("%s: %s wrote a different image\n", d.name, c.who);
          status = 1;
        }
      }
    }
    fs::remove(d.out);
    auto ms = [](const Contender& c) { return c.present && !c.failed ? c.best : -1.0; };
    if (haveCli) {
      if (contenders[0].failed) status = 1;
      Report(d.name, ms(contenders[0]), "objcopy", ms(contenders[1]), "<= 1.0");
      Report(d.versusSrec, ms(contenders[0]), "srec_cat", ms(contenders[2]), "<= 0.333");
    } else {
      std::printf("%s: %s not built; timing the in-process load and save instead\n", d.name,
                  cli.c_str());
      const double inProcess = BestMs([&] {
        bq::MemoryBuffer flash(bq::kFlashBufferBytes);
        return bq::LoadImageFile(flash, d.in) != 0 &&
               bq::SaveImageFile(flash, d.out, 0, 0xFFFFFFFF);
      });
      std::printf("%s_in_process: %.2f ms (objcopy process %.2f ms, srec_cat process %.2f ms)\n",
                  d.name, inProcess, ms(contenders[1]), ms(contenders[2]));
      if (!SameImage(d.out, image)) status = 1;
      fs::remove(d.out);
    }
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  return status;
}
