#include "app/cli/chip_commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/cli/file_watch.h"
#include "app/cli/image_io.h"
#include "app/cli/kept_sim_chip.h"
#include "app/cli/named_fuses.h"
#include "app/cli/production.h"
#include "app/cli/rescue.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/utf8_path.h"
#include "drivers/stk500v1/stk500v1_driver.h"
#include "image/elf_image.h"
#include "image/memory_buffer.h"
#include "link/tracing_port_driver.h"
#include "link/transfer_limits.h"
#include "parts/part_database.h"
#include "parts/part_list_location.h"
#include "parts/part_names.h"
#include "platform/executable_folder.h"
#include "session/chip_session.h"
#include "session/fuse_fields.h"
#include "session/fuse_write_risks.h"
#include "session/image_device.h"
#include "session/program_job.h"
#include "session/rescue_texts.h"
#include "session/serial_numbers.h"
#include "session/session_texts.h"
#include "sim/sim_port_driver.h"
#include "ui/ini_settings_store.h"
#include "ui/settings.h"
#ifdef _WIN32
#include "platform/win32/registry_settings_store.h"
#include "platform/win32/win32_port_driver.h"
#else
#include "platform/posix/posix_port_driver.h"
#endif

namespace bq::cli {

namespace {

// Ctrl+C: the sessions being driven (one per programmer), so the signal can end their
// operations after the exchange in progress. A signal handler can reach nothing else.
constexpr std::size_t kMaxSessions = 64;
// After "ERROR: Enter Program Mode": the usual reasons a chip does not answer.
constexpr const char* kEnterProgModeHint =
    "The chip did not enter programming mode: check the part (-p), the mode (-m) and the wiring.";
std::array<std::atomic<ChipSession*>, kMaxSessions> g_sessions{};
std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
  for (auto& slot : g_sessions) {
    if (ChipSession* s = slot.load()) s->Cancel();
  }
}

// Catches Ctrl+C while chip commands run.
class InterruptHandler {
 public:
  InterruptHandler() : previous_(std::signal(SIGINT, OnInterrupt)) { g_interrupted.store(false); }
  ~InterruptHandler() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
  InterruptHandler(const InterruptHandler&) = delete;
  InterruptHandler& operator=(const InterruptHandler&) = delete;

 private:
  void (*previous_)(int);
};

// A session the handler can cancel, for as long as the object lives.
class SessionSlot {
 public:
  explicit SessionSlot(ChipSession& s) {
    for (std::size_t i = 0; i < kMaxSessions; ++i) {
      ChipSession* none = nullptr;
      if (g_sessions[i].compare_exchange_strong(none, &s)) {
        index_ = i;
        if (g_interrupted.load()) s.Cancel();  // Ctrl+C came before the session did
        return;
      }
    }
  }
  ~SessionSlot() {
    if (index_ < kMaxSessions) g_sessions[index_].store(nullptr);
  }
  SessionSlot(const SessionSlot&) = delete;
  SessionSlot& operator=(const SessionSlot&) = delete;

 private:
  std::size_t index_ = kMaxSessions;
};

std::string Hex5(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%05X", address);
  return text;
}

// Half a second between two looks at the socket, cut short by Ctrl+C.
bool PauseBetweenPolls() {
  for (int i = 0; i < 10 && !g_interrupted.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !g_interrupted.load();
}

// The SHA-256 of a memory as the chip holds it after programming: the image, 0xFF beyond.
std::string MemoryHash(const std::vector<std::uint8_t>& image, std::uint32_t bytes) {
  std::vector<std::uint8_t> memory(bytes, 0xFF);
  std::copy_n(image.begin(), std::min<std::size_t>(bytes, image.size()), memory.begin());
  return Sha256Hex(memory.data(), memory.size());
}

// A read that could not be saved where asked goes to a new file beside the target, or to the
// temporary folder when that fails: "c.hex" becomes "c-unsaved.hex" ("c-unsaved-2.hex" when
// that name is taken). The file's path, or empty when it could not be written anywhere.
std::string KeepUnsavedImage(MemoryBuffer& image, const std::string& target, std::uint32_t first,
                             std::uint32_t last, ImageFormat format) {
  namespace fs = std::filesystem;
  const fs::path path = target == "-" ? fs::path("image.hex") : PathFromUtf8(target);
  if (format == ImageFormat::Auto) {
    format = target == "-" ? ImageFormat::IntelHex : ImageFormatForPath(target);
  }
  std::error_code ec;
  std::vector<fs::path> folders;
  const fs::file_status status = fs::status(path, ec);
  // Not beside a device or in a folder that is not there.
  if (target != "-" && (!fs::exists(status) || fs::is_regular_file(status))) {
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (fs::is_directory(parent, ec)) folders.push_back(parent);
  }
  const fs::path temporary = fs::temp_directory_path(ec);
  if (!ec) folders.push_back(temporary);
  const std::string stem = Utf8FromPath(path.stem());
  const std::string extension = Utf8FromPath(path.extension());
  for (const fs::path& folder : folders) {
    for (int n = 1; n < 100; ++n) {
      const fs::path candidate =
          folder /
          PathFromUtf8(stem + "-unsaved" + (n == 1 ? "" : "-" + std::to_string(n)) + extension);
      if (fs::exists(fs::symlink_status(candidate, ec))) continue;
      const std::string name = Utf8FromPath(candidate);
      if (SaveImage(image, name, first, last, format) == SaveOutcome::Written) return name;
      break;  // this folder takes no file: try the next
    }
  }
  return "";
}

// What keeps a read from being saved to file, found before the chip is read: a folder, or
// a file the user protected from writing (unless forced). Empty when there is none.
std::string ReadTargetProblem(const std::string& file, bool force) {
  namespace fs = std::filesystem;
  if (file == "-") return "";
  std::error_code ec;
  const fs::file_status status = fs::status(PathFromUtf8(file), ec);
  if (fs::is_directory(status)) return file + " is a folder; give the name of a file to save to";
  if (!fs::is_regular_file(status) || force) return "";
  const fs::perms all_write =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if ((status.permissions() & all_write) != fs::perms::none) return "";
  return file +
         " is write-protected; nothing was read (make it writable, choose another file, "
         "or add --force to replace it)";
}

// One chip command from the connection to its verdict.
class ChipRun {
 public:
  ChipRun(const ChipOptions& o, Printer& out, ProductionRun* production = nullptr)
      : o_(o), out_(out), production_(production) {}
  int Run();

 private:
  int Fail(const SessionResult& r) {
    if (r.status == SessionStatus::Cancelled || g_interrupted.load()) return Interrupted();
    if (r.status == SessionStatus::DeviceError && r.linkStatus == STATUS_DEVICE_ENTER_PROG_MODE) {
      out_.Log(LogKind::LogInfo, kEnterProgModeHint);
    }
    if (IsReadLockedRefusal(r)) {
      out_.Log(LogKind::LogInfo, "To erase the chip: brindlequartz-cli -P " + settings_.COMPort +
                                     " -p " + partName_ + " erase");
    }
    return r.status == SessionStatus::PortNotOpen ? kExitPort : kExitFailed;
  }
  int Interrupted() {
    std::string done;
    for (const std::string& step : done_) done += (done.empty() ? "" : ", ") + step;
    Complain("interrupted; done before: " + (done.empty() ? std::string("nothing") : done));
    return kExitInterrupt;
  }
  bool Step(const SessionResult& r, const char* name) {
    if (r.ok()) done_.push_back(name);
    return r.ok();
  }

  int LoadInput(MemoryBuffer& image);
  bool ResolvePart();
  int Connect();
  int SelectChip();
  int Prepare();
  std::string ImageBeyondChip(const MemoryBuffer& image, const MemoryGeometry& memory,
                              const char* action) const;
  std::uint32_t PagesFor(const MemoryBuffer& image, const MemoryGeometry& memory) const;

  int CheckMemory(const MemoryBuffer& image);
  int RunVersion();
  int RunIdentify();
  int RunEraseLocked();
  int RunRead();
  int RunWrite(const MemoryBuffer& image);
  int RunVerify(const MemoryBuffer& image);
  int RunBlankCheck();
  int RunCalibration();
  int RunFuses();
  int RunRescue();
  int LoadProgram(ProgramJob& job);
  int PrepareProgram(ProgramJob& job);
  int RunProgram(ProgramJob& job);

  // Production runs.
  struct ChipVerdict {
    bool passed = false;
    bool stop = false;  // the run cannot go on: the programmer is gone, Ctrl+C, a file failed
    int status = kExitOk;
    bool programmed = true;  // false: stopped before the chip was touched
  };
  ChipVerdict ProgramChip(const ProgramJob& job, std::uint32_t number);
  void PrintVerdict(std::uint32_t number, double seconds, const std::string& failure);
  int RunRepeat(ProgramJob& job);
  enum class Wait { Reached, Done, Interrupted, LinkLost };
  Wait WaitForChip(bool present);

  const ChipOptions& o_;
  Printer& out_;
  PartDatabase parts_;
  Settings settings_;
  KeptSimChip simChip_;  // saved after the session has closed the port
  std::shared_ptr<SimPortDriver> simDriver_;
  std::unique_ptr<ChipSession> session_;
  const PartRecord* part_ = nullptr;
  std::string partName_;
  std::string partlistName_;
  ElfImage elfBytes_;  // the fuse and lock bytes of a program's ELF file
  using HeldRanges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  HeldRanges flashHeld_, eepromHeld_, userRowHeld_;  // the addresses the program's files hold
  int PrepareUpdiProgram(ProgramJob& job);
  int PrepareClassicProgram(ProgramJob& job);
  std::vector<std::string> done_;
  ProductionRun* production_;
  std::atomic<bool> quiet_{false};  // while waiting for a chip: no log lines
  ProgrammerVersions versions_;
};

MemoryGeometry GeometryOf(const PartRecord& part, const std::string& memory) {
  if (memory == "userrow") return UserRowGeometry(part);
  return memory == "eeprom" ? EepromGeometry(part) : FlashGeometry(part);
}

// "FLASH", "EEPROM" or "USERROW", as the buffers are named in the log.
const char* BufferName(const std::string& memory) {
  if (memory == "userrow") return "USERROW";
  return memory == "eeprom" ? "EEPROM" : "FLASH";
}

// An Intel HEX file without its end record may have been cut short: it is not written into
// a chip unless forced.
bool RefuseIncomplete(Printer& out, const ImageLoadResult& loaded, bool force) {
  if (!loaded.incomplete || force) return false;
  out.Log(LogKind::LogError, loaded.warning + "; nothing was written (add --force to write it)");
  return true;
}

// The engine logs a failed verification as a warning, as the desktop's log shows it; here
// it ends the command with exit status 1, so it is printed as the error it is.
LogKind FailedVerifyIsError(LogKind kind, const std::string& text) {
  const bool failed = text == "Chip differ !!!" || text == "Fuse bits verification FAILED" ||
                      text == "Lock bits verification FAILED";
  return failed && kind == LogKind::LogWarning ? LogKind::LogError : kind;
}

int ChipRun::LoadInput(MemoryBuffer& image) {
  const ImageLoadResult loaded = LoadCliImage(image, o_.file, o_.format.value_or(ImageFormat::Auto));
  if (loaded.count == 0) {
    out_.Log(LogKind::LogError, loaded.error.empty() ? o_.file + " not found." : loaded.error);
    return kExitUsage;
  }
  if (o_.command == "write" && RefuseIncomplete(out_, loaded, o_.force)) return kExitUsage;
  out_.Log(LogKind::LogInfo, o_.file + " loaded into " + BufferName(o_.memory) + " buffer");
  if (!loaded.warning.empty()) out_.Log(LogKind::LogWarning, loaded.warning);
  return kExitOk;
}

bool ChipRun::ResolvePart() {
  if (o_.part == "auto") return true;
  part_ = FindCliPart(parts_, o_.part, partlistName_, partName_);
  if (part_ == nullptr) return false;
  parts_.SelectPartByName(partName_);  // the chip the port "sim" simulates
  return true;
}

int ChipRun::Connect() {
#ifdef _WIN32
  RegistrySettingsStore store;
#else
  IniSettingsStore store(DefaultSettingsPath());
#endif
  if (LoadSettings(store, settings_) == SettingsLoadResult::ComPortUnreadable) {
    Complain(kComPortReadError);
  }
  if (o_.port) settings_.COMPort = *o_.port;
  if (o_.ispClock) settings_.ISPSpeed = *o_.ispClock;

  // The simulator driver comes first: the serial driver claims every other name.
  // The sim: port simulates the programmer the options describe.
  const bool eepromWords = o_.eepromWordAddress && o_.programmer == ProgrammerKind::Stk500v1;
  SimOptions simulated;
  simulated.eepromWordAddress = eepromWords;
  auto simDriver = std::make_shared<SimPortDriver>(&parts_, simulated);
  simDriver_ = simDriver;
  if (o_.command != "ports" && ParseSimPortName(settings_.COMPort)) {
    simChip_.Keep(simDriver, settings_.COMPort, o_.simFresh, out_);
  }
  std::vector<std::shared_ptr<PortDriver>> drivers{simDriver};
#ifdef _WIN32
  drivers.push_back(std::make_shared<Win32PortDriver>());
#else
  drivers.push_back(std::make_shared<PosixPortDriver>());
#endif
  if (out_.verbose()) {
    for (auto& d : drivers) {
      d = std::make_shared<TracingPortDriver>(d, [this](const std::string& l) {
        if (!quiet_.load()) out_.Trace(l);
      });
    }
  }
  session_ = std::make_unique<ChipSession>(std::move(drivers), o_.programmer);
  session_->SetProgrammer(o_.programmer, o_.baud);
  if (auto* v1 = dynamic_cast<Stk500v1Driver*>(&session_->Driver()); v1 != nullptr) {
    v1->SetEepromWordAddresses(eepromWords);
  }
  session_->SetPartDatabase(&parts_);
  session_->SetLogObserver([this](LogKind k, const std::string& t) {
    if (!quiet_.load()) out_.Log(FailedVerifyIsError(k, t), t);
  });
  session_->SetProgressCallback([this](const SessionProgress& p) {
    if (!quiet_.load()) out_.Progress(p);
  });
  if (o_.command == "ports") return kExitOk;
  std::string why;
  if (!session_->Open(settings_.COMPort, &why)) {
    std::fprintf(stderr, "Error Open Serial Port (%s) !!!\n", settings_.COMPort.c_str());
    if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
    // "sim:NOPART" is a wrong command line, not a port that failed to open.
    const std::optional<SimPortName> sim = ParseSimPortName(settings_.COMPort);
    if (sim && !sim->part.empty() && FindPartByAnyName(parts_, sim->part, nullptr) == nullptr) {
      return kExitUsage;
    }
    if (!o_.port) {
      std::string found;
      for (const std::string& name : session_->Ports()) found += (found.empty() ? "" : ", ") + name;
      Complain("no port was given with -P, and " + settings_.COMPort +
               " (the saved or default port) could not be opened. Ports found: " +
               (found.empty() ? std::string("none") : found) +
               " (brindlequartz-cli ports lists them). Give the programmer's port with -P PORT, "
               "or try -P sim for a simulated programmer without hardware.");
    }
    return kExitPort;
  }
  if (o_.targetClock) {
    // Stopped again when the session closes.
    const SessionResult clock = session_->SetTargetClock(true);
    if (!clock.ok()) {
      Complain("--target-clock: " + clock.message);
      return kExitFailed;
    }
  }
  return kExitOk;
}

// The part (given, or found by identify) and the programming mode.
int ChipRun::SelectChip() {
  if (part_ == nullptr) {
    IdentifiedChip chip;
    const SessionResult r = session_->Identify(chip);
    if (!r.ok()) return Fail(r);
    partName_ = parts_.PartNameForSignature(chip.signature);
    part_ = parts_.Find(partName_);
    if (part_ == nullptr || part_->signature != chip.signature) return kExitFailed;
  }
  // Our programmer: the part's high-voltage mode by default. Other programmers mostly sit on
  // an ISP cable: ISP unless -m hv.
  const DriverCapabilities& can = session_->Programmer().can;
  const bool hvReachable = part_->hvMode == PROG_MODE_HVSP ? can.highVoltageSerial
                                                           : can.highVoltageParallel;
  std::uint8_t mode = part_->HasHighVoltageMode() && hvReachable && can.identify
                          ? part_->hvMode
                          : std::uint8_t{PROG_MODE_ISP};
  if (o_.part == "auto" && !o_.mode) mode = session_->Mode();  // where identify found it
  if (o_.mode && *o_.mode == "isp") mode = PROG_MODE_ISP;
  if (o_.mode && *o_.mode == "hv") {
    if (!part_->HasHighVoltageMode()) {
      Complain("part " + partName_ + " has no high-voltage mode");
      return kExitUsage;
    }
    if (!hvReachable) {
      Complain(std::string("the ") + session_->Programmer().title +
               " programmer has no high-voltage mode for " + partName_ + "; use -m isp");
      return kExitUsage;
    }
    mode = part_->hvMode;
  }
  session_->SetMode(mode);
  session_->SetPart(partName_, part_);
  return kExitOk;
}

// ISP clock and signature check, as before every chip command.
int ChipRun::Prepare() {
  if (session_->Mode() == PROG_MODE_ISP) {
    std::uint8_t clock = 0;
    const SessionResult r =
        session_->SelectIspClock(static_cast<std::uint8_t>(settings_.ISPSpeed), clock);
    if (!r.ok()) return Fail(r);
  }
  std::uint32_t signature = 0;
  const SessionResult r = session_->CheckSignature(part_->signature, signature);
  if (r.status == SessionStatus::Mismatch) {
    std::fprintf(stderr, "Warning: %s Continue ? %s\n", kSignatureMismatchText,
                 o_.yes ? "Yes (--yes)" : "No (use --yes to continue)");
    return o_.yes ? kExitOk : kExitFailed;
  }
  // A programmer that does not answer is not a mismatch: no question, also with --yes.
  return r.ok() ? kExitOk : Fail(r);
}

std::string ChipRun::ImageBeyondChip(const MemoryBuffer& image, const MemoryGeometry& memory,
                                     const char* action) const {
  const auto beyond = FirstProgrammedByteFrom(image, memory.Bytes());
  if (!beyond) return "";
  return ImageBeyondChipText(memory.kind == MEMORY_FLASH    ? "FLASH"
                             : memory.kind == MEMORY_EEPROM ? "EEPROM"
                                                            : "USERROW",
                             *beyond, memory.Bytes(), partName_, action,
                             "choose the right part with -p");
}

// Flash: the pages up to the last one that holds a byte other than 0xFF (all with --full);
// EEPROM: every page.
std::uint32_t ChipRun::PagesFor(const MemoryBuffer& image, const MemoryGeometry& memory) const {
  if (memory.kind != MEMORY_FLASH || o_.full) return memory.pageCount;
  return PagesWithData(image.data(), image.capacity(), memory);
}

// A memory the part lacks, or one the transfers cannot carry, ends the command before
// anything is written or read.
int ChipRun::CheckMemory(const MemoryBuffer& image) {
  const bool memoryCommand = o_.command == "read" || o_.command == "write" ||
                             o_.command == "verify" || o_.command == "blank-check";
  if (!memoryCommand) return kExitOk;
  const MemoryGeometry memory = GeometryOf(*part_, o_.memory);
  if (memory.pageSize == 0 || memory.pageCount == 0) {
    Complain(partName_ + " has no " +
             (memory.kind == MEMORY_FLASH ? std::string("flash memory") : MemoryName(memory.kind)));
    return kExitFailed;
  }
  // A UPDI part's memories go by address, not in the transfers of our programmer's
  // protocol: only the image must hold them.
  const std::string limit =
      part_->IsUpdi()
          ? (memory.Bytes() > image.capacity()
                 ? partName_ + ": the " + MemoryName(memory.kind) + " is larger than the image"
                 : std::string())
          : TransferLimitProblem(partName_, memory.kind, memory.pageSize, memory.pageCount,
                                 image.capacity());
  if (limit.empty()) return kExitOk;
  out_.Log(LogKind::LogError, limit);
  return kExitFailed;
}

int ChipRun::Run() {
  MemoryBuffer image(o_.memory == "flash" ? kFlashBufferBytes : kEepromBufferBytes);
  if (o_.command == "write" || o_.command == "verify") {
    if (const int status = LoadInput(image); status != kExitOk) return status;
  }
  ProgramJob job;
  if (o_.command == "program") {
    if (const int status = LoadProgram(job); status != kExitOk) return status;
  }
  // ports and version need no part list; with one, "sim" simulates its first part.
  const bool needParts = o_.command != "ports" && o_.command != "version";
  if (needParts && !LoadCliPartList(o_.partlist, parts_, partlistName_)) return kExitUsage;
  if (!needParts) {
    std::error_code ec;
    std::string ignored;
    const PartListSearch search =
        o_.partlist ? PartListSearch{*o_.partlist, {}}
                    : FindPartList(std::filesystem::current_path(ec), ExecutableFolder());
    if (!LoadFoundPartList(parts_, search, ignored)) parts_.ClearParts();
  }
  // identify finds the part itself; a part named all the same must be one the list has.
  if (needParts && (o_.command != "identify" || o_.part != "auto") && !ResolvePart()) {
    return kExitUsage;
  }
  if (part_ != nullptr) {
    if (const int status = CheckMemory(image); status != kExitOk) return status;
  }
  if (o_.command == "read") {
    if (const std::string problem = ReadTargetProblem(o_.file, o_.force); !problem.empty()) {
      out_.Log(LogKind::LogError, problem);
      return kExitUsage;
    }
  }
  if (const int status = Connect(); status != kExitOk) return status;
  if (o_.command == "ports") {
    for (const std::string& name : session_->Ports()) {
      const std::string about = session_->DescribePort(name);
      std::printf("%s%s%s\n", name.c_str(), about.empty() ? "" : "\t", about.c_str());
    }
    FlushOutput();
    return kExitOk;
  }
  SessionSlot interruptible(*session_);
  if (o_.command == "version") return RunVersion();
  if (o_.command == "identify") return RunIdentify();
  if (o_.command == "program" && o_.repeat) return RunRepeat(job);
  if (o_.command == "rescue") return RunRescue();
  if (const int status = SelectChip(); status != kExitOk) return status;
  // A locked UPDI chip answers nothing but the erase key: no identify, no signature check.
  if (o_.command == "erase" && o_.unlock) return RunEraseLocked();
  if (o_.command == "program") return RunProgram(job);
  if (const int status = CheckMemory(image); status != kExitOk) return status;
  if (o_.command == "write" || o_.command == "verify") {
    const std::string beyond = ImageBeyondChip(image, GeometryOf(*part_, o_.memory),
                                               o_.command == "write" ? "written" : "verified");
    if (!beyond.empty()) {
      out_.Log(LogKind::LogError, beyond);
      return kExitFailed;
    }
  }
  if (const int status = Prepare(); status != kExitOk) return status;
  done_.push_back("signature check");
  if (o_.command == "read") return RunRead();
  if (o_.command == "write") return RunWrite(image);
  if (o_.command == "verify") return RunVerify(image);
  if (o_.command == "erase") {
    const SessionResult r = session_->Erase();
    return r.ok() ? kExitOk : Fail(r);
  }
  if (o_.command == "blank-check") return RunBlankCheck();
  if (o_.command == "calibration") return RunCalibration();
  return RunFuses();
}

// The files and bytes of a program run, read before anything is sent.
int ChipRun::LoadProgram(ProgramJob& job) {
  if (o_.elfFile) {
    // Every memory the ELF file (or an Intel HEX file of all its sections) holds; the options
    // below replace what they give.
    std::string bytes, why;
    std::string problem = ImageFileProblem(*o_.elfFile);
    if (problem.empty() && !ReadFileBytes(*o_.elfFile, bytes, 64u << 20)) {
      problem = *o_.elfFile + " cannot be read.";
    }
    std::optional<ElfImage> elf;
    if (problem.empty()) {
      elf = IsElfImage(bytes) || !BeginsWithHexRecord(bytes) ? ParseElfImage(bytes, &why)
                                                              : ParseSectionedHex(bytes, &why);
    }
    if (!elf) {
      out_.Log(LogKind::LogError, problem.empty() ? *o_.elfFile + ": " + why : problem);
      return kExitUsage;
    }
    auto padded = [](const std::vector<std::uint8_t>& data, std::uint32_t capacity) {
      std::vector<std::uint8_t> image(std::max<std::size_t>(capacity, data.size()), 0xFF);
      std::copy(data.begin(), data.end(), image.begin());
      return image;
    };
    if (!elf->flash.empty()) job.flash = padded(elf->flash, kFlashBufferBytes);
    if (!elf->eeprom.empty()) job.eeprom = padded(elf->eeprom, kEepromBufferBytes);
    if (!elf->userRow.empty()) job.userRow = elf->userRow;
    flashHeld_ = {{0u, static_cast<std::uint32_t>(elf->flash.size())}};
    eepromHeld_ = {{0u, static_cast<std::uint32_t>(elf->eeprom.size())}};
    userRowHeld_ = {{0u, static_cast<std::uint32_t>(elf->userRow.size())}};
    elfBytes_ = *elf;
    out_.Log(LogKind::LogInfo, *o_.elfFile + " loaded");
  }
  struct File {
    const std::optional<std::string>& path;
    std::optional<std::vector<std::uint8_t>>& image;
    std::uint32_t capacity;
    const char* name;
    HeldRanges& held;
  } files[] = {{o_.flashFile, job.flash, kFlashBufferBytes, "FLASH", flashHeld_},
               {o_.eepromFile, job.eeprom, kEepromBufferBytes, "EEPROM", eepromHeld_}};
  for (const File& f : files) {
    if (!f.path) continue;
    MemoryBuffer buffer(f.capacity);
    const ImageLoadResult loaded = LoadCliImage(buffer, *f.path, ImageFormat::Auto);
    if (loaded.count == 0) {
      out_.Log(LogKind::LogError, loaded.error.empty() ? *f.path + " not found." : loaded.error);
      return kExitUsage;
    }
    if (RefuseIncomplete(out_, loaded, o_.force)) return kExitUsage;
    f.held = loaded.held;
    out_.Log(LogKind::LogInfo, *f.path + " loaded into " + f.name + " buffer");
    if (!loaded.warning.empty()) out_.Log(LogKind::LogWarning, loaded.warning);
    f.image.emplace(buffer.data(), buffer.data() + buffer.capacity());
  }
  job.force = o_.force;
  return kExitOk;
}

// The fuse and lock changes of a classic part: the ELF file's LOW, HIGH, EXTENDED and lock
// bytes, then the options.
int ChipRun::PrepareClassicProgram(ProgramJob& job) {
  for (const auto& [offset, value] : elfBytes_.fuses) {
    if (offset < 3) continue;
    Complain(*o_.elfFile + " holds a fuse byte at " + Hex5(0x820000u + offset) + "; " + partName_ +
             " has only LOW, HIGH and EXTENDED (choose the right part with -p)");
    return kExitUsage;
  }
  if (elfBytes_.lockBytes.size() > 1) {
    Complain(*o_.elfFile + " holds a " + std::to_string(elfBytes_.lockBytes.size()) +
             "-byte lock; " + partName_ + " has one lock byte (choose the right part with -p)");
    return kExitUsage;
  }
  FuseByteSlots fuseBytes = DefaultFuseBytes(*part_);
  fuseBytes.lock.present = false;
  FuseByteSlots lockBytes;
  lockBytes.lock = {0xFF, true};
  std::vector<std::pair<std::uint8_t, std::string>> wholeFuses, wholeLock;
  auto fromElf = [](std::vector<std::pair<std::uint8_t, std::string>>& list, std::uint8_t target,
                    const std::optional<std::uint8_t>& value) {
    if (value) list.emplace_back(target, std::to_string(*value));
  };
  fromElf(wholeFuses, kTargetLow, elfBytes_.low);  // the ELF file's bytes first: options win
  fromElf(wholeFuses, kTargetHigh, elfBytes_.high);
  fromElf(wholeFuses, kTargetExtended, elfBytes_.extended);
  fromElf(wholeLock, kTargetLockBit, elfBytes_.lock);
  if (o_.low) wholeFuses.emplace_back(kTargetLow, *o_.low);
  if (o_.high) wholeFuses.emplace_back(kTargetHigh, *o_.high);
  if (o_.extended) wholeFuses.emplace_back(kTargetExtended, *o_.extended);
  if (o_.lockByte) wholeLock.emplace_back(kTargetLockBit, *o_.lockByte);
  job.fuses.clear();
  job.lock.clear();
  const std::string problem =
      ParseFuseChanges(part_->fuseBits, fuseBytes, wholeFuses, o_.fuseWords, job.fuses);
  if (!problem.empty()) {
    Complain(problem);
    return kExitUsage;
  }
  if (const std::string lock =
          ParseFuseChanges(part_->lockBits, lockBytes, wholeLock, o_.lockWords, job.lock);
      !lock.empty()) {
    Complain(lock);
    return kExitUsage;
  }
  return kExitOk;
}

// The lock a --lock VALUE gives a UPDI part: a number of the part's lock size.
std::optional<std::uint32_t> UpdiLockValue(const std::string& text, std::size_t bytes) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  const unsigned long long max = bytes >= 4 ? 0xFFFFFFFFull : (1ull << (8 * bytes)) - 1;
  if (text.empty() || text.front() == '-' || *end != '\0' || errno != 0 || value > max) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The named fuse bytes and the lock of a UPDI part: the image's bytes first, the options win.
int ChipRun::PrepareUpdiProgram(ProgramJob& job) {
  const UpdiLayout& layout = part_->updi;
  job.fuses.clear();
  job.lock.clear();
  job.namedFuses.clear();
  job.lockWord.reset();
  if (o_.low || o_.high || o_.extended) {
    Complain(partName_ + " has no LOW, HIGH or EXTENDED fuse byte; name its bytes instead (--fuse " +
             (layout.fuses.empty() ? std::string("NAME") : layout.fuses.front().name) +
             "=VALUE, see fuses read)");
    return kExitUsage;
  }
  if (!o_.lockWords.empty()) {
    Complain(partName_ + " keeps its lock as a whole value: give it with --lock VALUE");
    return kExitUsage;
  }
  for (const auto& [offset, value] : elfBytes_.fuses) {
    const NamedFuseByte* named = nullptr;
    for (const NamedFuseByte& b : layout.fuses) {
      if (b.offset == offset) named = &b;
    }
    // avr-gcc's FUSES places the device's whole fuse block, its reserved bytes included:
    // those are left as the chip has them.
    if (named == nullptr && offset < NamedFuseSpan(layout)) {
      out_.Log(LogKind::LogInfo, *o_.elfFile + ": the byte at " + Hex5(0x820000u + offset) +
                                     " is reserved on " + partName_ + " and is not written");
      continue;
    }
    if (named == nullptr) {
      Complain(*o_.elfFile + " holds a fuse byte at " + Hex5(0x820000u + offset) + ", where " +
               partName_ + " has none (choose the right part with -p)");
      return kExitUsage;
    }
    job.namedFuses.push_back({named->name, offset, 0xFF, value});
  }
  std::vector<NamedFuseAssignment> options;
  if (const std::string problem = ParseNamedFuseAssignments(layout, o_.fuseWords, options);
      !problem.empty()) {
    Complain(problem);
    return kExitUsage;
  }
  job.namedFuses.insert(job.namedFuses.end(), options.begin(), options.end());
  const std::size_t lockBytes = layout.lockSize == 0 ? 1 : layout.lockSize;
  if (!elfBytes_.lockBytes.empty()) {
    if (elfBytes_.lockBytes.size() != lockBytes) {
      Complain(*o_.elfFile + " holds a " + std::to_string(elfBytes_.lockBytes.size()) +
               "-byte lock; " + partName_ + " keeps a " + std::to_string(lockBytes) +
               "-byte one (choose the right part with -p)");
      return kExitUsage;
    }
    std::uint32_t value = 0;
    for (std::size_t i = lockBytes; i-- > 0;) value = value << 8 | elfBytes_.lockBytes[i];
    job.lockWord = value;
  }
  if (o_.lockByte) {
    job.lockWord = UpdiLockValue(*o_.lockByte, lockBytes);
    if (!job.lockWord) {
      char open[16];
      std::snprintf(open, sizeof open, "0x%X", layout.lockOpenValue);
      Complain("--lock " + *o_.lockByte + ": give " + partName_ + "'s lock as a number of " +
               std::to_string(lockBytes) + (lockBytes == 1 ? " byte" : " bytes") + " (" + open +
               " leaves the chip open)");
      return kExitUsage;
    }
  }
  // The user row is written whole: the bytes the image does not hold stay erased.
  const std::uint32_t userRowBytes = UserRowGeometry(*part_).Bytes();
  if (job.userRow && job.userRow->size() < userRowBytes) job.userRow->resize(userRowBytes, 0xFF);
  return kExitOk;
}

// The fuse and lock changes (they need the part, known only now) and the checks of the
// images and the serial number's place against the part.
int ChipRun::PrepareProgram(ProgramJob& job) {
  // An image built for another chip puts code and fuses meant for that chip into this one.
  if (!ImageDeviceFits(elfBytes_.device, partName_)) {
    const std::string text = ImageDeviceMismatchText(elfBytes_.device, partName_);
    if (!o_.force) {
      out_.Log(LogKind::LogError, *o_.elfFile + ": " + text +
                                      ". Nothing written: choose the part with -p, or add --force "
                                      "to program it all the same.");
      PrintVerdict(0, 0, "check: " + text);
      return kExitFailed;
    }
    out_.Log(LogKind::LogWarning,
             *o_.elfFile + ": " + text + " (--force: programmed all the same)");
  }
  if (const int status = part_->IsUpdi() ? PrepareUpdiProgram(job) : PrepareClassicProgram(job);
      status != kExitOk) {
    return status;
  }
  std::string problem;
  if (std::string beyond = ProgramJobProblem(*part_, partName_, job); !beyond.empty()) {
    out_.Log(LogKind::LogError, beyond);
    PrintVerdict(0, 0, "check: " + beyond);
    return kExitFailed;
  }
  if (production_ == nullptr || !production_->serial()) return kExitOk;
  const SerialPlace& place = *production_->serial();
  const MemoryGeometry memory = place.eeprom    ? EepromGeometry(*part_)
                                : place.userRow ? UserRowGeometry(*part_)
                                                : FlashGeometry(*part_);
  if (place.userRow && !part_->IsUpdi()) {
    Complain("--serial userrow: " + partName_ + " has no user row; choose eeprom or flash");
    return kExitUsage;
  }
  if (problem = SerialPlaceProblem(place, memory.Bytes(), partName_); !problem.empty()) {
    Complain(problem);
    return kExitUsage;
  }
  // The serial number must not land on bytes the image file holds (code, a vector table,
  // constants), whatever their value.
  const HeldRanges& held = place.eeprom ? eepromHeld_ : place.userRow ? userRowHeld_ : flashHeld_;
  const std::uint64_t end = std::uint64_t{place.address} + place.bytes;
  for (const auto& [from, to] : held) {
    if (from >= end || to <= place.address) continue;
    const std::uint32_t at = std::max(from, place.address);
    const std::string where =
        Hex5(place.address) + ".." + Hex5(static_cast<std::uint32_t>(end - 1));
    if (o_.force) {
      out_.Log(LogKind::LogWarning,
               "The serial number at " + where + " replaces data of the image (--serial, --force)");
      return kExitOk;
    }
    out_.Log(LogKind::LogError, "The serial number at " + where + " would replace data of the " +
                                    SerialMemoryName(place) + " image at " + Hex5(at) +
                                    "; choose a --serial address outside the image, or add "
                                    "--force to write it there");
    return kExitUsage;
  }
  return kExitOk;
}

// "PASS PORT PART 1.2s" or "FAIL PORT PART STEP: REASON"; in a production run the chip's
// number in the run follows the verdict ("PASS #12 ...").
void ChipRun::PrintVerdict(std::uint32_t number, double seconds, const std::string& failure) {
  const std::string tag = number == 0 ? "" : "#" + std::to_string(number) + " ";
  if (failure.empty()) {
    std::printf("PASS %s%s %s %.1fs\n", tag.c_str(), settings_.COMPort.c_str(), partName_.c_str(),
                seconds);
  } else {
    std::printf("FAIL %s%s %s %s\n", tag.c_str(), settings_.COMPort.c_str(), partName_.c_str(),
                failure.c_str());
  }
  FlushOutput();
}

// One chip: its serial number (saved as used before anything is written), the job, the
// verdict line and the log line.
ChipRun::ChipVerdict ChipRun::ProgramChip(const ProgramJob& job, std::uint32_t number) {
  const auto start = std::chrono::steady_clock::now();
  ChipVerdict verdict;
  ProgramJob chip = job;
  ChipRecord record;
  record.port = settings_.COMPort;
  record.chip = number == 0 ? 1 : number;
  record.part = partName_;
  record.tool = BQ_VERSION;
  record.hardware = versions_.hardware;
  record.firmware = versions_.firmware;
  if (production_ != nullptr && production_->serial()) {
    const SerialPlace& place = *production_->serial();
    std::uint64_t serial = 0;
    std::string why;
    if (!production_->TakeSerial(serial, &why)) {
      out_.Log(LogKind::LogError, why + "; the chip was not programmed");
      return {false, true, kExitUsage, false};
    }
    auto& image = place.eeprom ? chip.eeprom : place.userRow ? chip.userRow : chip.flash;
    if (!image) image.emplace();
    PlaceSerialNumber(place, serial, *image);
    // The user row is written whole: the bytes the image does not hold stay erased.
    if (place.userRow && image->size() < UserRowGeometry(*part_).Bytes()) {
      image->resize(UserRowGeometry(*part_).Bytes(), 0xFF);
    }
    record.serial = serial;
    out_.Log(LogKind::LogInfo, "Serial number " + std::to_string(serial) + " at " +
                                   Hex5(place.address) + " in " + SerialMemoryName(place));
  }
  if (chip.flash) record.flashSha256 = MemoryHash(*chip.flash, FlashGeometry(*part_).Bytes());
  if (chip.eeprom) record.eepromSha256 = MemoryHash(*chip.eeprom, EepromGeometry(*part_).Bytes());
  if (chip.userRow && part_->IsUpdi()) {
    record.userRowSha256 = MemoryHash(*chip.userRow, UserRowGeometry(*part_).Bytes());
  }

  ProgramOutcome outcome;
  SessionResult clock;
  if (session_->Mode() == PROG_MODE_ISP) {
    std::uint8_t index = 0;
    clock = session_->SelectIspClock(static_cast<std::uint8_t>(settings_.ISPSpeed), index);
  }
  if (clock.ok()) {
    outcome = RunProgramJob(*session_, *part_, chip, o_.yes);
  } else {
    outcome.step = "isp clock";
    outcome.reason = clock.message;
    outcome.status = clock.status;
  }
  done_ = outcome.done;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  record.time = std::chrono::system_clock::now();
  record.signature = outcome.signature;
  record.passed = outcome.passed;
  record.step = outcome.step;
  record.reason = outcome.reason;
  record.seconds = seconds;
  if (production_ != nullptr && production_->logging()) {
    std::string why;
    if (!production_->Log(record, &why)) {
      out_.Log(LogKind::LogError, why + " (--log); the run stops");
      verdict.stop = true;
      verdict.status = kExitUsage;
    }
  }
  PrintVerdict(number, seconds, outcome.passed ? "" : outcome.step + ": " + outcome.reason);
  verdict.passed = outcome.passed;
  if (outcome.passed) return verdict;
  const SessionResult failed{outcome.status, clock.linkStatus, outcome.reason};
  if (ProgrammerLost(failed) && number != 0) {
    out_.Log(LogKind::LogError, "The programmer on " + settings_.COMPort + " stopped answering (" +
                                    outcome.reason + "); the run ends");
    verdict.stop = true;
  }
  if (g_interrupted.load() || outcome.status == SessionStatus::Cancelled) verdict.stop = true;
  if (verdict.status == kExitOk) verdict.status = Fail(failed);
  return verdict;
}

int ChipRun::RunProgram(ProgramJob& job) {
  if (const int status = PrepareProgram(job); status != kExitOk) return status;
  if (production_ != nullptr && production_->logging()) {
    // The log names the programmer's versions.
    if (const SessionResult r = session_->Versions(versions_); !r.ok()) return Fail(r);
  }
  return ProgramChip(job, 0).status;
}

// Looks at the socket every half second, quietly, until a chip answers (present) or none
// does any more. A chip answers when its signature can be read (found by identify while
// the part is not known yet).
ChipRun::Wait ChipRun::WaitForChip(bool present) {
  bool announced = false;
  for (;;) {
    if (g_interrupted.load()) return Wait::Interrupted;
    if (present && production_->Done()) return Wait::Done;
    quiet_.store(true);
    SessionResult r;
    std::uint32_t signature = 0;
    if (part_ == nullptr) {
      IdentifiedChip chip;
      r = session_->Identify(chip);
      signature = chip.signature;
    } else {
      if (present && session_->Mode() == PROG_MODE_ISP) {
        std::uint8_t clock = 0;
        r = session_->SelectIspClock(static_cast<std::uint8_t>(settings_.ISPSpeed), clock);
      }
      if (r.ok()) r = session_->ReadSignature(signature);
    }
    quiet_.store(false);
    if (g_interrupted.load()) return Wait::Interrupted;
    if (ProgrammerLost(r)) {
      out_.Log(LogKind::LogError, "The programmer on " + settings_.COMPort +
                                      " stopped answering (" + r.message + "); the run ends");
      return Wait::LinkLost;
    }
    // An empty socket may read as all zeros or all ones rather than fail.
    const bool there = r.ok() && signature != 0 && signature != 0xFFFFFF;
    if (there == present) return Wait::Reached;
    if (!announced) {
      out_.Log(LogKind::LogInfo, present ? "Waiting for a chip (Ctrl+C ends the run)"
                                         : "Waiting for the chip to be taken out");
      // Nobody can take the chip of the built-in simulator out: say so rather than wait
      // without a word.
      if (!present && ParseSimPortName(settings_.COMPort)) {
        out_.Log(LogKind::LogInfo,
                 "The chip of " + settings_.COMPort +
                     " stays in place; end the run with Ctrl+C, or for chips that come and go "
                     "serve one with brindlequartz-sim --chip-cycle and give its device with -P");
      }
      announced = true;
    }
    if (!PauseBetweenPolls()) return Wait::Interrupted;
  }
}

// Chip after chip until --count chips passed (on all programmers together), Ctrl+C, or
// the programmer stops answering. Exit status: 0 when every chip passed, 1 when one
// failed or the programmer was lost, 130 after Ctrl+C.
int ChipRun::RunRepeat(ProgramJob& job) {
  if (const SessionResult r = session_->Versions(versions_); !r.ok()) {
    out_.Log(LogKind::LogError,
             "The programmer on " + settings_.COMPort + " does not answer (" + r.message + ")");
    return Fail(r);
  }
  auto ended = [](Wait w, int status) {
    if (w == Wait::Interrupted) return kExitInterrupt;
    return w == Wait::LinkLost ? kExitFailed : status;
  };
  if (part_ == nullptr) {
    if (const Wait w = WaitForChip(true); w != Wait::Reached) return ended(w, kExitOk);
  }
  if (const int status = SelectChip(); status != kExitOk) return status;
  if (const int status = PrepareProgram(job); status != kExitOk) return status;
  int status = kExitOk;
  std::uint32_t number = 0;
  for (;;) {
    if (const Wait w = WaitForChip(true); w != Wait::Reached) return ended(w, status);
    const ProductionRun::Slot slot = production_->Reserve();
    if (slot == ProductionRun::Slot::Done) return status;
    if (slot == ProductionRun::Slot::Wait) {
      // Enough chips are being programmed elsewhere to reach --count if they pass.
      if (!PauseBetweenPolls()) return kExitInterrupt;
      continue;
    }
    const ChipVerdict verdict = ProgramChip(job, ++number);
    if (verdict.programmed) production_->Finished(verdict.passed);
    if (!verdict.passed && status == kExitOk) status = kExitFailed;
    if (verdict.stop) return verdict.status == kExitOk ? status : verdict.status;
    if (production_->Done()) return status;
    if (const Wait w = WaitForChip(false); w != Wait::Reached) return ended(w, status);
  }
}

// The part given, or the one the chip's signature names when it can still be found.
int ChipRun::RunRescue() {
  if (part_ == nullptr) {
    IdentifiedChip chip;
    if (session_->Identify(chip).ok()) {
      partName_ = parts_.PartNameForSignature(chip.signature);
      part_ = parts_.Find(partName_);
      if (part_ != nullptr && part_->signature != chip.signature) part_ = nullptr;
    }
    if (part_ == nullptr) {
      Complain(
          "the chip cannot be identified: give its part with -p (brindlequartz-cli parts "
          "--ids lists the short ids)");
      return kExitUsage;
    }
  }
  session_->SetPart(partName_, part_);
  const bool sim = ParseSimPortName(settings_.COMPort).has_value();
  const RescueCommand command{
      *session_, partName_,  *part_, settings_.COMPort, sim ? simDriver_.get() : nullptr,
      o_.yes,    o_.defaults};
  return RunRescueCommand(command, out_);
}

int ChipRun::RunVersion() {
  ProgrammerVersions v;
  const SessionResult r = session_->Versions(v);
  if (!r.ok()) return Fail(r);
  std::printf("Hardware Version: %02X.%02X\n", (v.hardware >> 8) & 0xFFu, v.hardware & 0xFFu);
  std::printf("Firmware Version: %02X.%02X\n", (v.firmware >> 8) & 0xFFu, v.firmware & 0xFFu);
  FlushOutput();
  return kExitOk;
}

int ChipRun::RunEraseLocked() {
  if (part_ != nullptr) session_->SetPart(partName_, part_);
  const SessionResult r = session_->EraseLocked();
  return r.ok() ? kExitOk : Fail(r);
}

int ChipRun::RunIdentify() {
  IdentifiedChip chip;
  const SessionResult r = session_->Identify(chip);
  if (!r.ok()) return Fail(r);
  const std::string name = parts_.PartNameForSignature(chip.signature);
  const PartRecord* part = parts_.Find(name);
  const bool known = part != nullptr && part->signature == chip.signature;
  // The data on stdout, one line: part (unknown when the list has no such signature),
  // signature, where the chip answered.
  std::printf("%s\t%s\t%s\n", known ? name.c_str() : "unknown",
              SignatureText(chip.signature).c_str(),
              known && part->IsUpdi() ? "updi" : (chip.socket ? "socket" : "isp"));
  FlushOutput();
  return known ? kExitOk : kExitFailed;
}

int ChipRun::RunRead() {
  const MemoryGeometry memory = GeometryOf(*part_, o_.memory);
  std::uint32_t first = 0;
  std::uint32_t last = memory.Bytes() - 1;
  std::uint32_t pages = 0;
  if (o_.range) {
    first = o_.range->first;
    last = o_.range->second;
    if (first > last || last >= memory.Bytes()) {
      Complain("--range " + Hex5(first) + ":" + Hex5(last) + " is not inside the " +
               std::to_string(memory.Bytes()) + " bytes of the " + partName_ + "'s " +
               MemoryName(memory.kind));
      return kExitUsage;
    }
    pages = last / memory.PageBytes() + 1;  // the pages up to the one holding LAST
  }
  std::vector<std::uint8_t> bytes;
  const SessionResult r = session_->ReadMemory(memory, pages, bytes);
  if (!r.ok()) return Fail(r);
  MemoryBuffer image(memory.kind == MEMORY_FLASH ? kFlashBufferBytes : kEepromBufferBytes);
  std::copy(bytes.begin(), bytes.end(), image.data());
  const ImageFormat format = o_.format.value_or(ImageFormat::Auto);
  std::string why;
  switch (SaveCliImage(image, o_.file, first, last, format, &why)) {
    case SaveOutcome::Written:
      if (o_.file != "-") {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(PathFromUtf8(o_.file), ec);
        out_.Log(
            LogKind::LogSuccess,
            o_.file + " saved" + (ec ? std::string() : " (" + std::to_string(bytes) + " bytes)"));
      }
      return kExitOk;
    case SaveOutcome::NothingToSave:
      Complain("nothing written to " + o_.file + " (the memory read is empty)");
      return kExitFailed;
    case SaveOutcome::Failed:
      break;
  }
  // What took the chip so long to give is not thrown away with the file.
  const std::string kept = KeepUnsavedImage(image, o_.file, first, last, format);
  out_.Log(LogKind::LogError,
           o_.file + (why.empty() ? std::string(" not saved.") : " not saved: " + why + ".") +
               (kept.empty() ? " The image read could not be kept anywhere either."
                             : " The image read is kept in " + kept + "."));
  return kExitUsage;
}

int ChipRun::RunWrite(const MemoryBuffer& image) {
  const MemoryGeometry memory = GeometryOf(*part_, o_.memory);
  const bool flash = memory.kind == MEMORY_FLASH;
  // Flash pages can only be programmed from the erased state: erase first (it also clears
  // the EEPROM unless the chip's EESAVE fuse is programmed).
  if (flash && !o_.noErase) {
    const SessionResult erased = session_->Erase();
    if (!Step(erased, "erase")) return Fail(erased);
  }
  const std::uint32_t pages = PagesFor(image, memory);
  const std::vector<std::uint8_t> bytes(image.data(), image.data() + memory.PageBytes() * pages);
  if (pages == 0) {
    out_.Log(LogKind::LogInfo, "The image holds no data: nothing to write");
    return kExitOk;
  }
  SessionResult r = session_->WriteMemory(memory, pages, bytes);
  if (!Step(r, flash ? "flash written" : "EEPROM written")) return Fail(r);
  if (o_.noVerify) return kExitOk;
  std::optional<std::uint32_t> difference;
  r = session_->VerifyMemory(memory, pages, bytes, difference);
  if (difference) out_.Log(LogKind::LogError, "First difference at " + Hex5(*difference));
  return r.ok() ? kExitOk : Fail(r);
}

int ChipRun::RunVerify(const MemoryBuffer& image) {
  const MemoryGeometry memory = GeometryOf(*part_, o_.memory);
  const std::uint32_t pages = PagesFor(image, memory);
  if (pages == 0) {
    out_.Log(LogKind::LogInfo, "The image holds no data: nothing to verify");
    return kExitOk;
  }
  const std::vector<std::uint8_t> bytes(image.data(), image.data() + memory.PageBytes() * pages);
  std::optional<std::uint32_t> difference;
  const SessionResult r = session_->VerifyMemory(memory, pages, bytes, difference);
  if (difference) out_.Log(LogKind::LogError, "First difference at " + Hex5(*difference));
  return r.ok() ? kExitOk : Fail(r);
}

int ChipRun::RunBlankCheck() {
  const SessionResult r = session_->BlankCheck(GeometryOf(*part_, o_.memory));
  return r.ok() ? kExitOk : Fail(r);
}

int ChipRun::RunCalibration() {
  if (part_->osccal.empty()) {
    Complain(partName_ + " has no calibration bytes");
    return kExitFailed;
  }
  std::vector<std::string> lines;
  for (const auto& [sequence, entry] : part_->osccal) {
    std::uint8_t value = 0;
    const SessionResult r = session_->ReadCalibration(entry.address, value);
    if (!r.ok()) return Fail(r);
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    lines.push_back(entry.label + ": " + text);
  }
  out_.Log(LogKind::LogSuccess, "Read Calibration Bytes");
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  FlushOutput();
  return kExitOk;
}

// fuses|lock read|write|verify. A write reads the chip's bytes first, applies what was given
// to them (or to the part's defaults with --defaults) and writes the result. A verify with
// --defaults compares every byte; otherwise only the bytes and field bits given.
int ChipRun::RunFuses() {
  const bool fuses = o_.command == "fuses";
  if (fuses && part_->IsUpdi()) {
    const NamedFuseCommand named{o_.action, o_.words, o_.defaults, o_.force,
                                 o_.low || o_.high || o_.extended};
    return RunNamedFuses(*session_, *part_, named, out_,
                         [this](const SessionResult& r) { return Fail(r); });
  }
  const BitFieldMap& fields = fuses ? part_->fuseBits : part_->lockBits;
  FuseByteSlots defaults = DefaultFuseBytes(*part_);
  if (fuses) {
    defaults.lock.present = false;
  } else {
    defaults.low.present = defaults.high.present = defaults.extended.present = false;
  }
  auto printFields = [&fields](const FuseByteSlots& bytes) {
    for (const auto& [row, field] : fields) {
      std::printf("%s\t%s\t%s\n", field.name.c_str(), field.text.c_str(),
                  FuseFieldDisplay(bytes, field).c_str());
    }
    FlushOutput();
  };
  auto read = [&](FuseByteSlots& bytes) {
    return fuses ? session_->ReadFuses(bytes) : session_->ReadLock(bytes.lock);
  };
  if (o_.action == "read") {
    FuseByteSlots bytes = defaults;
    const SessionResult r = read(bytes);
    if (!r.ok()) return Fail(r);
    printFields(bytes);
    return kExitOk;
  }

  std::vector<std::pair<std::uint8_t, std::string>> wholeBytes;
  std::vector<std::string> words = o_.words;
  if (fuses) {
    if (o_.low) wholeBytes.emplace_back(kTargetLow, *o_.low);
    if (o_.high) wholeBytes.emplace_back(kTargetHigh, *o_.high);
    if (o_.extended) wholeBytes.emplace_back(kTargetExtended, *o_.extended);
  } else if (!words.empty() && words.front().find('=') == std::string::npos) {
    wholeBytes.emplace_back(kTargetLockBit, words.front());  // the lock byte's VALUE
    words.erase(words.begin());
  }
  std::vector<FuseChange> changes;
  if (const std::string problem = ParseFuseChanges(fields, defaults, wholeBytes, words, changes);
      !problem.empty()) {
    Complain(problem);
    return kExitUsage;
  }

  const bool write = o_.action == "write";
  if (!write && o_.defaults) {
    FuseByteSlots expected = defaults;
    ApplyFuseChanges(expected, changes);
    int differing = 0;
    bool differs = false;
    const SessionResult r = fuses ? session_->VerifyFuses(expected, differing)
                                  : session_->VerifyLock(expected.lock, differs);
    return r.ok() ? kExitOk : Fail(r);
  }
  FuseByteSlots chip = defaults;
  if (const SessionResult r = read(chip); !r.ok()) return Fail(r);
  FuseByteSlots wanted = o_.defaults ? defaults : chip;
  ApplyFuseChanges(wanted, changes);
  if (!write) {
    const std::vector<std::string> differences = FuseDifferences(changes, chip, wanted);
    for (const std::string& line : differences) out_.Log(LogKind::LogError, line);
    const char* what = fuses ? "Fuse bits verification " : "Lock bits verification ";
    out_.Log(differences.empty() ? LogKind::LogSuccess : LogKind::LogError,
             std::string(what) + (differences.empty() ? "OK" : "FAILED"));
    return differences.empty() ? kExitOk : kExitFailed;
  }
  if (fuses && session_->Mode() == PROG_MODE_ISP) {
    // What would lock ISP out is refused unless forced; a new clock source only warns.
    const std::vector<FuseWriteRisk> risks = IspFuseWriteRisks(fields, chip, wanted);
    bool refused = false;
    for (const FuseWriteRisk& risk : risks) {
      if (!LocksIspOut(risk.risk) || o_.force) continue;
      out_.Log(LogKind::LogError, FuseRiskText(risk));
      refused = true;
    }
    if (refused) {
      out_.Log(LogKind::LogError,
               "Fuses not written. Use a high-voltage mode, or add --force to write them over "
               "ISP all the same.");
      return kExitFailed;
    }
    for (const FuseWriteRisk& risk : risks) out_.Log(LogKind::LogWarning, FuseRiskText(risk));
  }
  const SessionResult r =
      fuses ? session_->WriteFuses(wanted, &fields) : session_->WriteLock(wanted.lock, &fields);
  return r.ok() ? kExitOk : Fail(r);
}

}  // namespace

namespace {

// "x.hex" read from ttyUSB1 becomes "x-ttyUSB1.hex": every programmer its own file.
std::string FileForPort(const std::string& file, const std::string& tag) {
  const auto slash = file.find_last_of("/\\");
  const auto dot = file.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return file + "-" + tag;
  }
  return file.substr(0, dot) + "-" + tag + file.substr(dot);
}

// The names of the ports' files: the last part of each port's path, or as many of its last
// parts as tell it from the others ("a/avr" and "b/avr" give "a-avr" and "b-avr"). Letter
// case is ignored in the comparison, as some file systems ignore it. Empty when two
// programmers would still write one file (the same port given twice, "-" for the file).
std::vector<std::string> FilesForPorts(const std::string& file,
                                       const std::vector<std::string>& ports) {
  if (file == "-") return {};
  std::vector<std::vector<std::string>> parts;
  for (const std::string& port : ports) {
    std::vector<std::string> components;
    std::string piece;
    for (const char c : port + "/") {
      if (c == '/' || c == '\\') {
        if (!piece.empty()) components.push_back(piece);
        piece.clear();
      } else {
        piece += c == ':' ? '-' : c;
      }
    }
    parts.push_back(std::move(components));
  }
  const std::size_t n = ports.size();
  std::vector<std::size_t> used(n, 1);
  auto tag = [&](std::size_t i) {
    std::string t;
    const std::size_t k = std::min(used[i], parts[i].size());
    for (std::size_t j = parts[i].size() - k; j < parts[i].size(); ++j) {
      t += (t.empty() ? "" : "-") + parts[i][j];
    }
    return t;
  };
  for (bool grew = true; grew;) {
    grew = false;
    std::vector<std::string> tags;
    for (std::size_t i = 0; i < n; ++i) tags.push_back(ToUpperAscii(tag(i)));
    for (std::size_t i = 0; i < n; ++i) {
      const bool shared = std::count(tags.begin(), tags.end(), tags[i]) > 1;
      if (shared && used[i] < parts[i].size()) {
        ++used[i];
        grew = true;
      }
    }
  }
  std::vector<std::string> files;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = FileForPort(file, tag(i));
    for (const std::string& earlier : files) {
      if (ToUpperAscii(earlier) == ToUpperAscii(name)) return {};
    }
    files.push_back(name);
  }
  return files;
}

// The options of the i-th port: its own -c and --baud when each port has one, else the one
// given for all.
ChipOptions ForPort(const ChipOptions& options, std::size_t i) {
  ChipOptions one = options;
  if (i < options.ports.size()) one.port = options.ports[i];
  auto pick = [i](const auto& values, auto& out) {
    if (!values.empty()) out = values[values.size() == 1 ? 0 : i];
  };
  pick(options.programmers, one.programmer);
  pick(options.bauds, one.baud);
  return one;
}

// -c and --baud: once for all ports or once for each. False, with the reason printed, when
// a count fits neither.
bool PerPortCountsFit(const ChipOptions& options) {
  const std::size_t ports = std::max<std::size_t>(1, options.ports.size());
  auto fits = [ports](std::size_t given, const char* option) {
    if (given <= 1 || given == ports) return true;
    Complain(std::string(option) + " is given " + std::to_string(given) + " times for " +
             std::to_string(ports) + (ports == 1 ? " port" : " ports") +
             ": give it once for every programmer, or once for each -P in the same order");
    return false;
  };
  return fits(options.programmers.size(), "-c") && fits(options.bauds.size(), "--baud");
}

// The same command on every programmer at once, one session per port; log lines begin with
// the port. Exit status: 0 when every chip passed, else the first port's (in the order
// given) that did not.
int RunGang(const ChipOptions& options, Printer& out, ProductionRun* production) {
  const std::size_t n = options.ports.size();
  std::vector<std::string> files;
  if (options.command == "read") {
    // Every image its own file, or none is read.
    files = FilesForPorts(options.file, options.ports);
    if (files.empty()) {
      Complain(options.file == "-"
                   ? "several programmers cannot all read to standard output (-); give a file "
                     "name, and each programmer's image goes to a file named after its port"
                   : "two programmers would save to the same file (is a port given twice?); "
                     "nothing was read");
      return kExitUsage;
    }
  }
  std::vector<int> statuses(n, kExitOk);
  std::vector<std::unique_ptr<Printer>> printers;
  for (const std::string& port : options.ports) printers.push_back(out.ForPort(port));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      ChipOptions one = ForPort(options, i);
      if (one.command == "read") one.file = files[i];
      ChipRun run(one, *printers[i], production);
      statuses[i] = run.Run();
    });
  }
  for (std::thread& t : threads) t.join();
  int first = kExitOk;
  for (std::size_t i = 0; i < n; ++i) {
    if (options.command != "program") {
      std::printf("%s %s%s\n", statuses[i] == kExitOk ? "PASS" : "FAIL",
                  options.ports[i].c_str(),
                  statuses[i] == kExitOk ? "" : (" (exit status " + std::to_string(statuses[i]) + ")").c_str());
    }
    if (first == kExitOk && statuses[i] != kExitOk) first = statuses[i];
  }
  FlushOutput();
  return g_interrupted.load() && first != kExitOk ? kExitInterrupt : first;
}

}  // namespace

namespace {

int RunOnce(const ChipOptions& options, Printer& out) {
  std::unique_ptr<ProductionRun> production;
  if (options.command == "program" && (options.repeat || options.serial || options.logFile)) {
    int status = kExitOk;
    production = ProductionRun::Open(options, out, status);
    if (!production) return status;
  }
  int status = kExitOk;
  if (options.ports.size() > 1) {
    status = RunGang(options, out, production.get());
  } else {
    const ChipOptions one = ForPort(options, 0);  // the run keeps a reference
    ChipRun run(one, out, production.get());
    status = run.Run();
  }
  if (options.repeat) production->PrintSummary();
  return g_interrupted.load() && status != kExitOk ? kExitInterrupt : status;
}

// program --watch: programs the chip, then again each time one of its image files has
// changed and settled, until Ctrl+C. A failed run does not end the watch; the status is the
// last run's (130 when Ctrl+C came in the middle of one).
int RunWatch(const ChipOptions& options, Printer& out) {
  std::vector<std::string> files;
  for (const auto* file : {&options.elfFile, &options.flashFile, &options.eepromFile}) {
    if (*file) files.push_back(**file);
  }
  if (files.empty() || options.repeat ||
      std::find(files.begin(), files.end(), "-") != files.end()) {
    Complain(
        "--watch needs image files to watch (ELF, --flash or --eeprom, not -) and no "
        "--repeat");
    return kExitUsage;
  }
  std::string names;
  for (const std::string& file : files) names += (names.empty() ? "" : ", ") + file;
  constexpr auto kPoll = std::chrono::milliseconds(100);
  // A build writes its output in bursts: a change is taken once the file stays the same
  // this long.
  constexpr auto kSettle = std::chrono::milliseconds(400);
  FileWatch watch(files);
  int status = RunOnce(options, out);
  while (!g_interrupted.load()) {
    out.Log(LogKind::LogInfo,
            "watching " + names + ": the chip is programmed again when it changes (Ctrl+C ends)");
    std::optional<std::string> changed;
    while (!g_interrupted.load() && !(changed = watch.Changed()))
      std::this_thread::sleep_for(kPoll);
    // Settled: the same stamps over the whole settle time.
    for (auto still = std::chrono::steady_clock::now(); !g_interrupted.load();) {
      watch.Rebase();
      std::this_thread::sleep_for(kPoll);
      if (watch.Changed()) {
        still = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - still >= kSettle) {
        break;
      }
    }
    if (g_interrupted.load()) break;
    out.Log(LogKind::LogInfo, *changed + " changed: programming the chip again");
    status = RunOnce(options, out);
  }
  return status;
}

}  // namespace

bool LoadCliPartList(const std::optional<std::string>& given, PartDatabase& db,
                     std::string& source) {
  std::error_code ec;
  const PartListSearch search = given ? PartListSearch{*given, {*given}}
                                      : FindPartList(std::filesystem::current_path(ec),
                                                     ExecutableFolder());
  source = search.found.empty() ? "PartList.cfg" : search.found.string();
  std::string error;
  if (LoadFoundPartList(db, search, error)) return true;
  std::fputs("PartList Load ERROR !!!\n", stderr);
  Complain(error + (given ? "" : " (name one with --partlist FILE)"));
  return false;
}

const PartRecord* FindCliPart(const PartDatabase& db, const std::string& given,
                              const std::string& source, std::string& canonical) {
  if (const PartRecord* part = FindPartByAnyName(db, given, &canonical)) return part;
  Complain(NoSuchPartText(db, given, source) + " (brindlequartz-cli parts --ids lists them)");
  return nullptr;
}

int RunChipCommand(const ChipOptions& options, Printer& out) {
  for (std::size_t i = 0; i < options.ports.size(); ++i) {
    if (options.ports[i].empty()) {
      Complain("-P needs a port name (e.g. -P ttyUSB0, or -P sim)");
      return kExitUsage;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (options.ports[j] != options.ports[i]) continue;
      Complain("port " + options.ports[i] +
               " is given twice: give each programmer's port once with -P");
      return kExitUsage;
    }
  }
  if (!PerPortCountsFit(options)) return kExitUsage;
  const InterruptHandler interrupt;
  if (options.watch) return RunWatch(options, out);
  return RunOnce(options, out);
}

}  // namespace bq::cli
