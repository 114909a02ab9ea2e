#include "app/cli/chip_commands.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_output.h"
#include "core/text.h"
#include "image/buffer_commands.h"
#include "link/protocol.h"
#ifdef _WIN32
#include "platform/win32/registry_settings_store.h"
#include "platform/win32/win32_port_driver.h"
#else
#include "platform/posix/posix_port_driver.h"
#endif
#include "sim/sim_port_driver.h"
#include "ui/app_state.h"
#include "ui/fuse_write_risks.h"
#include "ui/ini_settings_store.h"
#include "ui/operation_sequencing.h"

namespace bq::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "brindlequartz-cli: %s\n", message.c_str());
  return kExitUsage;
}

struct Options {
  std::optional<std::string> port;
  std::string part = "auto";
  std::optional<std::string> mode;  // "hv" or "isp"
  std::optional<std::uint32_t> ispClock;
  bool yes = false;
  std::optional<bool> progress;
  bool verify = false;
  bool defaults = false;  // fuses/lock write|verify: start from the part's default bytes
  bool force = false;     // fuses write: also what would lock ISP out
  std::optional<std::string> low, high, extended;
  std::vector<std::string> words;  // command word and its operands
};

// A strict unsigned number (0x hex, leading 0 octal, decimal) no larger than max.
bool ParseValue(const std::string& text, std::uint32_t max, std::uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

// Parses the words; returns an error text, empty when fine.
std::string ParseOptions(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inlineValue;
    if (a.rfind("--", 0) == 0) {
      const auto eq = a.find('=');
      if (eq != std::string::npos) {
        inlineValue = a.substr(eq + 1);
        a = a.substr(0, eq);
      }
    }
    auto value = [&](std::string& out) -> bool {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-P" || a == "--port") {
      if (!value(v) || v.empty()) return "option " + a + " needs a port name";
      o.port = v;
    } else if (a == "-p" || a == "--part") {
      if (!value(v) || v.empty()) return "option " + a + " needs a part name or auto";
      o.part = v;
    } else if (a == "-m" || a == "--mode") {
      if (!value(v) || (v != "hv" && v != "isp")) return "option " + a + " takes hv or isp";
      o.mode = v;
    } else if (a == "-c" || a == "--isp-clock") {
      std::uint32_t clock = 0;
      if (!value(v)) return "option " + a + " takes auto or 1..7";
      if (v == "auto") {
        o.ispClock = 0;
      } else if (ParseValue(v, 7, clock) && clock >= 1) {
        o.ispClock = clock;
      } else {
        return "option " + a + " takes auto or 1..7";
      }
    } else if (a == "-y" || a == "--yes") {
      o.yes = true;
    } else if (a == "--progress") {
      o.progress = true;
    } else if (a == "--no-progress") {
      o.progress = false;
    } else if (a == "--verify") {
      o.verify = true;
    } else if (a == "--defaults") {
      o.defaults = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--low" || a == "--high" || a == "--extended") {
      if (!value(v)) return "option " + a + " needs a byte value";
      (a == "--low" ? o.low : a == "--high" ? o.high : o.extended) = v;
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown option " + a;
    } else {
      o.words.push_back(args[i]);
    }
  }
  return "";
}

// Log lines on stdout as they are appended, from either thread.
class LogPrinter : public MessageLogListener {
 public:
  void OnLogEntryAppended(std::uint32_t, const LogEntry& entry) override { PrintLogEntry(entry); }
};

// The Continue question: answered by --yes, shown on stderr.
class CliQuestion : public QuestionView {
 public:
  explicit CliQuestion(bool yes) : yes_(yes) {}
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    std::string flat;
    for (char c : text) {
      if (c == '\r') continue;
      flat += c == '\n' ? ' ' : c;
    }
    std::string collapsed;
    for (char c : flat) {
      if (c == ' ' && !collapsed.empty() && collapsed.back() == ' ') continue;
      collapsed += c;
    }
    std::fprintf(stderr, "%s: %s %s\n", caption.c_str(), collapsed.c_str(),
                 yes_ ? "Yes (--yes)" : "No (use --yes to continue)");
    asked_ = true;
    return yes_;
  }
  bool declined() const { return asked_ && !yes_; }
  // --yes answers a signature that differs, never a programmer that did not answer.
  bool AsksWhenSignatureUnread() const override { return false; }

 private:
  bool yes_;
  bool asked_ = false;
};

// Progress bar on stderr; fuse redraws applied to the editors (the user-interface thread
// waits for the worker, so the models are not read meanwhile).
class CliFrontEnd : public WorkerEvents {
 public:
  CliFrontEnd(AppState& app, bool progress) : app_(app), progress_(progress) {}
  void AppendLogEntry(LogKind, const std::string&) override {}
  void ProgressSmooth() override { marquee_ = false; }
  void ProgressMarquee() override { marquee_ = true; }
  void ProgressRange(std::uint16_t maximum) override { maximum_ = maximum; }
  void ProgressPosition(std::uint32_t position) override {
    position_ = position;
    if (shown_) Draw();
  }

  void ProgressMarqueeStart() override {}
  void ProgressMarqueeStop() override {}
  void ProgressShow() override {
    shown_ = true;
    Draw();
  }
  void ProgressHide() override {
    if (shown_ && progress_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
    }
    shown_ = false;
  }
  void RefillHexView(MemoryKind) override {}
  void RedrawFuseEditor(FuseEditorKind editor) override { app_.ApplyFuseEditorRedraw(editor); }

 private:
  void Draw() {
    if (!progress_) return;
    if (marquee_) {
      std::fputs("\r[ working ... ]", stderr);
    } else {
      constexpr int kWidth = 40;
      const std::uint32_t max = maximum_ == 0 ? 1 : maximum_;
      const std::uint32_t pos = position_ > max ? max : position_;
      const int filled = static_cast<int>(pos * kWidth / max);
      // One redraw per step of the bar is enough for the eye.
      if (filled == lastFilled_ && pos != max && pos != 0) return;
      lastFilled_ = filled;
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.append(static_cast<std::size_t>(kWidth - filled), '-');
      std::fprintf(stderr, "\r[%s] %u/%u pages", bar.c_str(), pos, static_cast<unsigned>(max));
    }
    std::fflush(stderr);
  }

  AppState& app_;
  bool progress_;
  bool marquee_ = false;
  bool shown_ = false;
  std::uint32_t maximum_ = 0;
  std::uint32_t position_ = 0;
  int lastFilled_ = -1;
};

// Everything one invocation needs. The application state is declared last so that it (and
// with it the worker) goes first: nothing the worker reports to may be released before it.
struct Session {
  Session(const Options& options, bool progress) : question(options.yes), frontEnd(app, progress) {}
  LogPrinter printer;
  CliQuestion question;
  CliFrontEnd frontEnd;  // keeps a reference to app only; uses it once the worker runs
  AppState app;
};

// What the worker reported since `mark`: the operation failed when it logged a warning or an
// error (a verification that differs, a chip not empty, a link or device error), except the
// signature warning the user already answered with Yes.
struct Verdict {
  bool bad = false;
  bool success = false;
};

Verdict LogVerdictSince(const MessageLog& log, std::uint32_t mark) {
  Verdict v;
  for (std::uint32_t s = mark; s < log.NextSerial(); ++s) {
    const LogEntry e = log.EntryBySerial(s);
    if (e.kind == LogKind::LogSuccess) v.success = true;
    if ((e.kind == LogKind::LogWarning && e.text != kSignatureMismatchText) ||
        e.kind == LogKind::LogError) {
      v.bad = true;
    }
  }
  return v;
}

enum class MemoryArg { Flash, Eeprom, Bad };

MemoryArg ParseMemory(const std::string& word) {
  if (word == "flash") return MemoryArg::Flash;
  if (word == "eeprom") return MemoryArg::Eeprom;
  return MemoryArg::Bad;
}

class ChipRun {
 public:
  ChipRun(Session& s, const Options& o) : app_(s.app), o_(o) {}

  // Selects the part (by name, or by identifying the chip) and the mode. Returns an exit
  // status, or -1 to go on.
  int SelectChip() {
    if (o_.part == "auto") {
      const IdentifyOutcome outcome = IdentifyCommand(app_);
      if (outcome != IdentifyOutcome::Detected) return kExitFailed;
    }
    if (o_.mode) {
      const auto& entries = app_.selection.modeEntries();
      if (*o_.mode == "isp") {
        for (std::size_t i = 0; i < entries.size(); ++i) {
          if (entries[i] == "ISP") app_.selection.PickMode(i);
        }
      } else {
        if (app_.selection.HvMode() == 0) {
          return UsageError("part " + app_.selection.chip().name + " has no high-voltage mode");
        }
        app_.selection.PickMode(0);
      }
    }
    return -1;
  }

  int Exit(bool ok) const { return ok ? kExitOk : kExitFailed; }

 private:
  AppState& app_;
  const Options& o_;
};

// The flows of the desktop program prepare and start in one call; the CLI runs exactly those
// flows and then waits for the worker.
bool RunFlow(Session& s, bool (*command)(AppState&, QuestionView&), bool needSuccessLine) {
  AppState& app = s.app;
  const std::uint32_t mark = app.log.NextSerial();
  const bool started = command(app, s.question);
  app.programmer.WaitIdle();
  if (!started) {
    // The desktop program stops silently when the part lacks the memory; say why here.
    const SelectedChip& chip = app.selection.chip();
    const bool eeprom = app.tab == BufferTab::Eeprom;
    if (eeprom ? chip.eepromPageSize == 0 || chip.eepromPageCount == 0
               : chip.flashPageSizeW == 0 || chip.flashPageCount == 0) {
      std::fprintf(stderr, "brindlequartz-cli: %s has no %s\n", chip.name.c_str(),
                   eeprom ? "EEPROM" : "flash memory");
    }
    return false;
  }
  const Verdict v = LogVerdictSince(app.log, mark);
  if (app.programmer.Status() != STATUS_OK || v.bad) return false;
  return !needSuccessLine || v.success;
}

// One thing the user gave for a fuse or lock write or verify: a whole byte or one field,
// its bits in place under its mask.
struct FuseChange {
  std::string name;         // "LOW", "HIGH", "EXTENDED", "LOCKBIT" or the field's name
  std::uint8_t target = 0;  // TargetByte
  std::uint8_t mask = 0;
  std::uint8_t bits = 0;
  bool field = false;
};

const char* ByteName(std::uint8_t target) {
  switch (target) {
    case kTargetLow:
      return "LOW";
    case kTargetHigh:
      return "HIGH";
    case kTargetExtended:
      return "EXTENDED";
    default:
      return "LOCKBIT";
  }
}

int LowestSetBit(std::uint8_t mask) {
  int s = 0;
  while (mask != 0 && (mask & (1u << s)) == 0) ++s;
  return s;
}

// FIELD=VALUE words (a number, or for a named-value field the value's text) as changes.
// Returns an error text, empty when fine.
std::string ParseFieldWords(const FuseEditor& editor, const std::vector<std::string>& words,
                            std::vector<FuseChange>& changes) {
  for (const std::string& word : words) {
    const auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return "expected FIELD=VALUE, got '" + word + "'";
    const std::string name = word.substr(0, eq);
    const std::string valueText = word.substr(eq + 1);
    const int row = editor.FindField(name);
    if (row < 0) return "the part has no field " + name;
    const BitFieldDesc& field = editor.fieldRows().at(static_cast<std::uint32_t>(row));
    const int lowest = LowestSetBit(field.mask);
    const std::uint32_t max = (static_cast<std::uint32_t>(field.mask) >> lowest);
    std::uint32_t value = 0;
    bool found = false;
    if (field.isEnumerator) {
      const std::string wanted = ToUpperAscii(valueText);
      for (const auto& [number, choice] : field.choices) {
        if (ToUpperAscii(choice.text) == wanted) {
          value = choice.value;
          found = true;
          break;
        }
      }
    }
    if (!found && !ParseValue(valueText, max, value)) {
      return "value '" + valueText + "' does not fit field " + field.name + " (0.." +
             std::to_string(max) + (field.isEnumerator ? " or a choice text" : "") + ")";
    }
    if (!editor.BytePresent(field.targetByte)) {
      return std::string("the part has no ") + ByteName(field.targetByte) + " fuse byte (field " +
             field.name + ")";
    }
    changes.push_back({field.name, field.targetByte, field.mask,
                       static_cast<std::uint8_t>((value << lowest) & field.mask), true});
  }
  return "";
}

std::string ParseByteOption(const FuseEditor& editor, const std::optional<std::string>& text,
                            std::uint8_t target, std::vector<FuseChange>& changes) {
  if (!text) return "";
  const std::string name = ByteName(target);
  std::uint32_t value = 0;
  if (!ParseValue(*text, 0xFF, value)) {
    return target == kTargetLockBit ? "bad lock byte value '" + *text + "'"
                                    : "bad byte value for " + name + ": '" + *text + "'";
  }
  if (!editor.BytePresent(target)) return "the part has no " + name + " fuse byte";
  changes.push_back({name, target, 0xFF, static_cast<std::uint8_t>(value), false});
  return "";
}

// Later changes win where they overlap (a field given after its whole byte).
void ApplyChanges(FuseEditor& editor, const std::vector<FuseChange>& changes) {
  for (const FuseChange& c : changes) {
    const std::uint8_t old = editor.ByteValue(c.target);
    editor.SetByte(c.target, static_cast<std::uint8_t>((old & ~c.mask) | c.bits));
  }
}

std::string ChangeValueText(const FuseChange& c, std::uint8_t byte) {
  const std::uint8_t bits = static_cast<std::uint8_t>(byte & c.mask);
  if (c.field) return std::to_string(bits >> LowestSetBit(c.mask));
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", bits);
  return buf;
}

// A posted request after the preparation: its verdict from its own log lines.
bool RunWorkerRequest(AppState& app, bool (CProgrammer::*start)(), bool needSuccessLine) {
  const std::uint32_t mark = app.log.NextSerial();
  if (!(app.programmer.*start)()) return false;
  app.programmer.WaitIdle();
  const Verdict v = LogVerdictSince(app.log, mark);
  if (app.programmer.Status() != STATUS_OK || v.bad) return false;
  return !needSuccessLine || v.success;
}

// Verify of given bytes or fields: the chip's bits under each change's mask against the
// expected ones, with the worker's verdict texts; each difference is named first.
bool CompareChanges(AppState& app, bool fuses, const FuseByteSlots& chip,
                    const FuseByteSlots& expected, const std::vector<FuseChange>& changes) {
  bool differ = false;
  for (const FuseChange& c : changes) {
    const std::uint8_t has = chip.Slot(c.target)->value;
    const std::uint8_t wanted = expected.Slot(c.target)->value;
    if (((has ^ wanted) & c.mask) == 0) continue;
    differ = true;
    app.log.AppendLogEntry(LogKind::LogWarning, c.name + ": the chip has " +
                                                    ChangeValueText(c, has) + ", " +
                                                    ChangeValueText(c, wanted) + " expected");
  }
  const char* what = fuses ? "Fuse bits verification " : "Lock bits verification ";
  app.log.AppendLogEntry(differ ? LogKind::LogWarning : LogKind::LogSuccess,
                         std::string(what) + (differ ? "FAILED" : "OK"));
  return !differ;
}

// A fuse write over ISP: what would lock ISP out is refused unless forced; a changed clock
// source goes ahead with a warning.
bool AcceptIspFuseWrite(AppState& app, const FuseByteSlots& chip, bool force) {
  const FuseEditor& editor = app.fuseEditor;
  const std::vector<FuseWriteRisk> risks =
      IspFuseWriteRisks(editor.fieldRows(), chip, editor.bytes());
  bool refused = false;
  for (const FuseWriteRisk& risk : risks) {
    if (!LocksIspOut(risk.risk) || force) continue;
    app.log.AppendLogEntry(LogKind::LogError, FuseRiskText(risk));
    refused = true;
  }
  if (refused) {
    app.log.AppendLogEntry(LogKind::LogError,
                           "Fuses not written. Use a high-voltage mode, or add --force to write "
                           "them over ISP all the same.");
    return false;
  }
  for (const FuseWriteRisk& risk : risks) {
    app.log.AppendLogEntry(LogKind::LogWarning, FuseRiskText(risk));
  }
  return true;
}

// fuses|lock write|verify. A write reads the chip's bytes first (signature check, then one
// read), applies the changes to them (or to the part's defaults with --defaults) and writes
// the result. A verify with --defaults compares every byte, as the worker does; otherwise it
// reads the chip and compares only the bits given.
bool RunFuseChange(Session& s, bool fuses, bool write, const Options& o,
                   const std::vector<FuseChange>& changes) {
  AppState& app = s.app;
  FuseEditor& editor = fuses ? app.fuseEditor : app.lockEditor;
  if (!write && o.defaults) {
    editor.ResetEditor();
    ApplyChanges(editor, changes);
    return RunFlow(s, fuses ? VerifyFusesCommand : VerifyLockBitsCommand, true);
  }
  if (!RunFlow(s, fuses ? ReadFusesCommand : ReadLockBitsCommand, false)) return false;
  const FuseByteSlots chip = editor.bytes();
  if (o.defaults) editor.ResetEditor();
  ApplyChanges(editor, changes);
  if (!write) return CompareChanges(app, fuses, chip, editor.bytes(), changes);
  if (fuses && app.selection.SelectedProgMode() == kProgModeIsp &&
      !AcceptIspFuseWrite(app, chip, o.force)) {
    return false;
  }
  return RunWorkerRequest(
      app, fuses ? &CProgrammer::StartWriteFuses : &CProgrammer::StartWriteLockBits, false);
}

void PrintFields(const FuseEditor& editor) {
  for (const auto& [row, field] : editor.fieldRows()) {
    std::printf("%s\t%s\t%s\n", field.name.c_str(), field.text.c_str(),
                editor.FieldDisplayText(row).c_str());
  }
  std::fflush(stdout);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool LoadInto(AppState& app, const std::string& path) {
  const BufferCommandResult r =
      LoadCommand(app.tab, app.flash, app.eeprom, path, app.programmer.IsBusy());
  bool ok = true;
  for (const LogEntry& e : r.log) {
    app.log.AppendLogEntry(e.kind, e.text);
    if (e.kind == LogKind::LogError) ok = false;
  }
  return ok;
}

bool SaveFrom(AppState& app, const std::string& path) {
  const SelectedChip& chip = app.selection.chip();
  const BufferCommandResult r =
      SaveCommand(app.tab, app.flash, app.eeprom, path, chip.ChipFlashBytes, chip.ChipEepromBytes);
  bool ok = true;
  for (const LogEntry& e : r.log) {
    app.log.AppendLogEntry(e.kind, e.text);
    if (e.kind == LogKind::LogError || e.kind == LogKind::LogWarning) ok = false;
  }
  if (ok && !FileExists(path)) {
    // Save is silent when there is nothing to write; from a script that is a failure.
    std::fprintf(stderr, "brindlequartz-cli: nothing written to %s\n", path.c_str());
    ok = false;
  }
  return ok;
}

int RunVersion(Session& s) {
  AppState& app = s.app;
  std::uint32_t hardware = 0, firmware = 0;
  bool ok = app.programmer.QueryHardwareVersion(hardware);
  app.programmer.WaitIdle();
  if (ok) {
    ok = app.programmer.QueryFirmwareVersion(firmware);
    app.programmer.WaitIdle();
  }
  if (!ok) return kExitFailed;
  std::printf("Hardware Version: %02X.%02X\n", (hardware >> 8) & 0xFFu, hardware & 0xFFu);
  std::printf("Firmware Version: %02X.%02X\n", (firmware >> 8) & 0xFFu, firmware & 0xFFu);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

int RunChipCommand(const std::vector<std::string>& args, const std::string& partlistPath) {
  Options o;
  const std::string error = ParseOptions(args, o);
  if (!error.empty()) return UsageError(error);
  if (o.words.empty()) return UsageError("no command given");
  const std::string command = o.words[0];
  const std::vector<std::string> operands(o.words.begin() + 1, o.words.end());

  static const char* const kCommands[] = {"ports", "version", "identify",   "read",
                                          "write", "verify",  "erase",      "blank-check",
                                          "fuses", "lock",    "calibration"};
  bool known = false;
  for (const char* c : kCommands) known = known || command == c;
  if (!known) return UsageError("unknown command '" + command + "'");

  // Validate the operands before anything touches the programmer.
  MemoryArg memory = MemoryArg::Flash;
  std::string file;
  std::string action;
  std::vector<std::string> fieldWords;
  std::optional<std::string> lockValue;
  if (command == "ports" || command == "version" || command == "identify" || command == "erase" ||
      command == "calibration") {
    if (!operands.empty()) return UsageError(command + " takes no operands");
  } else if (command == "read" || command == "write" || command == "verify") {
    if (operands.size() != 2) return UsageError(command + " needs flash|eeprom and a FILE");
    memory = ParseMemory(operands[0]);
    if (memory == MemoryArg::Bad)
      return UsageError(command + " needs flash or eeprom, not '" + operands[0] + "'");
    file = operands[1];
    if (command != "read" && !FileExists(file)) {
      std::fprintf(stderr, "brindlequartz-cli: %s not found.\n", file.c_str());
      return kExitUsage;
    }
  } else if (command == "blank-check") {
    if (operands.size() > 1) return UsageError("blank-check takes at most flash|eeprom");
    if (!operands.empty()) memory = ParseMemory(operands[0]);
    if (memory == MemoryArg::Bad) return UsageError("blank-check needs flash or eeprom");
  } else {  // fuses, lock
    if (operands.empty()) return UsageError(command + " needs read, write or verify");
    action = operands[0];
    if (action != "read" && action != "write" && action != "verify") {
      return UsageError(command + " needs read, write or verify, not '" + action + "'");
    }
    for (std::size_t i = 1; i < operands.size(); ++i) {
      if (command == "lock" && !lockValue && operands[i].find('=') == std::string::npos) {
        lockValue = operands[i];
      } else {
        fieldWords.push_back(operands[i]);
      }
    }
    if (action == "read" && (!fieldWords.empty() || lockValue))
      return UsageError(command + " read takes no values");
  }
  if (o.verify && command != "write") return UsageError("--verify belongs to write");
  if ((o.low || o.high || o.extended) && !(command == "fuses" && action != "read")) {
    return UsageError("--low, --high and --extended belong to fuses write|verify");
  }
  const bool changing = (command == "fuses" || command == "lock") && action != "read";
  if (o.defaults && !changing) return UsageError("--defaults belongs to fuses|lock write|verify");
  if (o.force && !(command == "fuses" && action == "write")) {
    return UsageError("--force belongs to fuses write");
  }
  if (changing && !o.defaults && !o.low && !o.high && !o.extended && !lockValue &&
      fieldWords.empty()) {
    return UsageError(command + " " + action + " needs something to " + action + ": " +
                      (command == "fuses" ? "--low/--high/--extended V, " : "VALUE, ") +
                      "FIELD=VALUE or --defaults (see --help)");
  }

#ifdef _WIN32
  const bool stderrIsTerminal = ::_isatty(::_fileno(stderr)) != 0;
#else
  const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
#endif
  const bool progress = o.progress.value_or(stderrIsTerminal);
  Session s(o, progress);
  AppState& app = s.app;
  app.log.SetListener(&s.printer);
  app.SetFrontEnd(&s.frontEnd);

#ifdef _WIN32
  RegistrySettingsStore store;
#else
  IniSettingsStore store(DefaultSettingsPath());
#endif
  if (LoadSettings(store, app.settings) == SettingsLoadResult::ComPortUnreadable) {
    std::fprintf(stderr, "%s\n", kComPortReadError);
  }
  if (o.port) app.settings.COMPort = *o.port;
  if (o.ispClock) app.settings.ISPSpeed = *o.ispClock;

  // The simulator driver must come first: the serial driver claims every other name.
  app.port.AddDriver(std::make_shared<SimPortDriver>(&app.parts));
#ifdef _WIN32
  app.port.AddDriver(std::make_shared<Win32PortDriver>());
#else
  app.port.AddDriver(std::make_shared<PosixPortDriver>());
#endif

  if (command == "ports") {
    app.port.EnumeratePorts();
    for (const auto& [key, name] : app.port.Ports()) std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    return kExitOk;
  }

  const bool partsLoaded = LoadPartList(app.parts, partlistPath) > 0;
  if (!partsLoaded && command != "version") {
    std::fputs("PartList Load ERROR !!!\n", stderr);
    return kExitFailed;
  }
  app.selection.FillChipSelector();
  if (command != "version" && command != "identify" && o.part != "auto") {
    if (!app.selection.PickChipByName(o.part)) {
      std::fprintf(stderr, "brindlequartz-cli: no part named '%s' in %s\n", o.part.c_str(),
                   partlistPath.c_str());
      return kExitUsage;
    }
  }
  if (partsLoaded) app.selection.ApplyChipSelection();

  if (!app.StartProgrammer()) {
    std::fputs("Programmer Thread not found !!!\n", stderr);
    return kExitFailed;
  }
  if (!app.port.OpenPort(app.settings.COMPort)) {
    std::fprintf(stderr, "%s\n", PortOpenErrorText(app.settings.COMPort).c_str());
    return kExitFailed;
  }

  if (command == "version") return RunVersion(s);
  if (command == "identify") {
    return IdentifyCommand(app) == IdentifyOutcome::Detected ? kExitOk : kExitFailed;
  }

  ChipRun run(s, o);
  const int selected = run.SelectChip();
  if (selected >= 0) return selected;

  app.tab = memory == MemoryArg::Eeprom ? BufferTab::Eeprom : BufferTab::Flash;

  auto flow = [&s](bool (*f)(AppState&, QuestionView&), bool needSuccessLine) {
    return RunFlow(s, f, needSuccessLine);
  };
  auto finish = [&s, &run](bool ok) {
    if (s.question.declined()) return kExitFailed;
    return run.Exit(ok);
  };

  if (command == "read") {
    if (!flow(ReadMemoryCommand, true)) return finish(false);
    if (!SaveFrom(app, file)) return kExitFailed;
    return kExitOk;
  }
  if (command == "write" || command == "verify") {
    if (!LoadInto(app, file)) return kExitUsage;  // a file that cannot be loaded
    if (command == "verify") return finish(flow(VerifyMemoryCommand, true));
    if (!flow(WriteMemoryCommand, true)) return finish(false);
    if (o.verify) return finish(flow(VerifyMemoryCommand, true));
    return kExitOk;
  }
  if (command == "erase") return finish(flow(EraseCommand, true));
  if (command == "blank-check") return finish(flow(BlankCheckCommand, true));
  if (command == "calibration") {
    const std::uint32_t mark = app.log.NextSerial();
    const bool read = ReadCalibrationCommand(app, s.question);
    app.programmer.WaitIdle();
    bool ok = read && !LogVerdictSince(app.log, mark).bad;
    for (const auto& [sequence, entry] : app.calibration.entries()) {
      const std::string value = app.calibration.ValueText(sequence);
      if (value.empty()) ok = false;
      if (read) std::printf("%s: %s\n", entry.label.c_str(), value.c_str());
    }
    std::fflush(stdout);
    if (read && app.calibration.entries().empty()) ok = false;
    if (!read && !s.question.declined() && app.calibration.entries().empty()) {
      std::fprintf(stderr, "brindlequartz-cli: %s has no calibration bytes\n",
                   app.selection.chip().name.c_str());
    }
    return finish(ok);
  }

  const bool fuses = command == "fuses";
  FuseEditor& editor = fuses ? app.fuseEditor : app.lockEditor;
  if (action == "read") {
    const bool ok = flow(fuses ? ReadFusesCommand : ReadLockBitsCommand, false);
    if (ok) PrintFields(editor);
    return finish(ok);
  }
  std::vector<FuseChange> changes;
  std::string problem;
  if (fuses) {
    problem = ParseByteOption(editor, o.low, kTargetLow, changes);
    if (problem.empty()) problem = ParseByteOption(editor, o.high, kTargetHigh, changes);
    if (problem.empty()) problem = ParseByteOption(editor, o.extended, kTargetExtended, changes);
  } else {
    problem = ParseByteOption(editor, lockValue, kTargetLockBit, changes);
  }
  if (problem.empty()) problem = ParseFieldWords(editor, fieldWords, changes);
  if (!problem.empty()) return UsageError(problem);
  return finish(RunFuseChange(s, fuses, action == "write", o, changes));
}

}  // namespace bq::cli
