#include "app/cli/kept_sim_chip.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>

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

namespace {

// A UPDI chip's file: one line a memory, "NAME HEX", in a fixed order.
const char* const kUpdiHeader = "brindlequartz simulated UPDI chip 1\n";

std::vector<std::vector<std::uint8_t>*> UpdiMemories(UpdiChip& chip) {
  return {&chip.Flash(), &chip.Eeprom(), &chip.UserRow(), &chip.Fuses(), &chip.Lock()};
}
const char* const kUpdiNames[] = {"flash", "eeprom", "userrow", "fuses", "lock"};

std::string UpdiChipFileText(UpdiChip& chip) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = kUpdiHeader;
  const auto memories = UpdiMemories(chip);
  for (std::size_t i = 0; i < memories.size(); ++i) {
    text += kUpdiNames[i];
    text += ' ';
    for (const std::uint8_t b : *memories[i]) {
      text += digits[b >> 4];
      text += digits[b & 0x0F];
    }
    text += '\n';
  }
  return text;
}

// Fills the chip from text, all or nothing: each memory must have the size the part gives it.
bool LoadUpdiChipFileText(const std::string& text, UpdiChip& chip, std::string* why) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line + "\n" != kUpdiHeader) {
    *why = "not a simulated UPDI chip";
    return false;
  }
  const auto memories = UpdiMemories(chip);
  std::vector<std::vector<std::uint8_t>> read;
  for (std::size_t i = 0; i < memories.size(); ++i) {
    const std::string name = std::string(kUpdiNames[i]) + " ";
    if (!std::getline(in, line) || line.rfind(name, 0) != 0 ||
        line.size() - name.size() != memories[i]->size() * 2) {
      *why = std::string("its ") + kUpdiNames[i] + " does not fit this part";
      return false;
    }
    std::vector<std::uint8_t> bytes(memories[i]->size());
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      const auto hex = [&](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
      };
      const int hi = hex(line[name.size() + 2 * k]), lo = hex(line[name.size() + 2 * k + 1]);
      if (hi < 0 || lo < 0) {
        *why = std::string("its ") + kUpdiNames[i] + " holds a character that is not hex";
        return false;
      }
      bytes[k] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    read.push_back(std::move(bytes));
  }
  for (std::size_t i = 0; i < memories.size(); ++i) *memories[i] = std::move(read[i]);
  chip.PowerCycle();  // the fuses take effect as after power-on
  return true;
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
  const std::shared_ptr<UpdiChip> updi = driver->UpdiChipFor(port);
  const std::string path =
      Utf8FromPath(PathFromUtf8(folder) / ("sim-" + name + (updi ? ".updi" : ".chip")));
  bool busy = false;
  std::string why;
  if (!lock_.TryLock(path + ".lock", &busy, &why)) {
    return notKept(busy ? path + " is in use by another run" : why);
  }
  if (!fresh && std::filesystem::exists(PathFromUtf8(path), ec)) {
    const std::optional<std::string> text = ReadFileBytes(path);
    std::lock_guard<std::mutex> guard(*chip.mutex);
    const bool loaded = text && (updi ? LoadUpdiChipFileText(*text, *updi, &why)
                                      : LoadSimChipFileText(*text, *chip.chip, &why));
    if (!loaded) {
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
  updi_ = updi;
  path_ = path;
  out_ = &out;
}

void KeptSimChip::Save() {
  if (!chip_.chip) return;
  std::string text;
  {
    std::lock_guard<std::mutex> guard(*chip_.mutex);
    text = updi_ ? UpdiChipFileText(*updi_) : SimChipFileText(*chip_.chip);
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
