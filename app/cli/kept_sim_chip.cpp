#include "app/cli/kept_sim_chip.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "core/utf8_path.h"

namespace bq::cli {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

}  // namespace

std::string SimChipFolder() {
  std::filesystem::path base;
#ifdef _WIN32
  const std::string local = Environment("LOCALAPPDATA");
  if (local.empty()) return "";
  base = PathFromUtf8(local);
#else
  const std::string xdg = Environment("XDG_CACHE_HOME");
  const std::string home = Environment("HOME");
  if (!xdg.empty()) {
    base = PathFromUtf8(xdg);
  } else if (!home.empty()) {
    base = PathFromUtf8(home) / ".cache";
  } else {
    return "";
  }
#endif
  return Utf8FromPath(base / "brindlequartz");
}

void KeptSimChip::Keep(std::shared_ptr<SimPortDriver> driver, const std::string& port, bool fresh,
                       Printer& out) {
  SimPortDriver::ChipAccess chip = driver->ChipFor(port);
  if (!chip.chip) return;  // an unknown part: opening the port says so
  const std::string name = chip.chip->partName;
  const std::string folder = SimChipFolder();
  auto notKept = [&](const std::string& why) {
    out.Log(LogKind::LogInfo,
            "a new simulated " + name + " that is not kept after this run (" + why + ")");
  };
  if (folder.empty()) return notKept("no cache folder: set XDG_CACHE_HOME or HOME");
  std::error_code ec;
  std::filesystem::create_directories(PathFromUtf8(folder), ec);
  const std::string path = Utf8FromPath(PathFromUtf8(folder) / ("sim-" + name + ".chip"));
  bool busy = false;
  std::string why;
  if (!lock_.TryLock(path + ".lock", &busy, &why)) {
    return notKept(busy ? path + " is in use by another run" : why);
  }
  if (!fresh && std::filesystem::exists(PathFromUtf8(path), ec)) {
    const std::optional<std::string> text = ReadFileBytes(path);
    std::lock_guard<std::mutex> guard(*chip.mutex);
    if (!text || !LoadSimChipFileText(*text, *chip.chip, &why)) {
      out.Log(LogKind::LogWarning, path + " cannot be used (" + (text ? why : "unreadable") +
                                       "): a new simulated " + name + " replaces it");
    } else {
      out.Log(LogKind::LogInfo, "the simulated " + name + " is the one kept from the last run (" +
                                    path + "); --sim-fresh starts a new one");
    }
  } else {
    out.Log(LogKind::LogInfo,
            "a new simulated " + name + ", kept in " + path + " for the next run");
  }
  driver_ = std::move(driver);
  chip_ = chip;
  path_ = path;
  out_ = &out;
}

void KeptSimChip::Save() {
  if (!chip_.chip) return;
  std::string text;
  {
    std::lock_guard<std::mutex> guard(*chip_.mutex);
    text = SimChipFileText(*chip_.chip);
  }
  std::string why;
  if (!ReplaceFileDurably(path_, text, &why) && out_ != nullptr) {
    out_->Log(LogKind::LogWarning, "the simulated chip is not kept: " + why);
  }
}

KeptSimChip::~KeptSimChip() {
  Save();
}

}  // namespace bq::cli
