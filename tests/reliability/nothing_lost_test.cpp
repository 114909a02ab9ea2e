// Nothing the user has is lost: a save that fails leaves the good file it would have
// replaced; a load that fails leaves the buffer and its file name as the user can tell; fuse
// and lock writes send only the bytes the part has; a read that breaks off half way is an
// error and never shown as read.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/buffer_commands.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "sim/sim_fault.h"
#include "tests/reliability/reliability_support.h"
#include "tests/sim/pty_simulator.h"
#include "ui/app_state.h"
#include "ui/operation_sequencing.h"

namespace bq::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// Names in the folder other than the ones given: leftovers of a failed save.
std::vector<std::string> Others(const fs::path& dir, std::vector<std::string> known) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
  }
  return out;
}

void FillPattern(MemoryBuffer& b, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) b.data()[i] = static_cast<std::uint8_t>(i * 31 + 3);
}

// ---- saves ----

// Writes fail once a file grows past the limit (as on a full disk): RLIMIT_FSIZE, with
// SIGXFSZ ignored so the write returns EFBIG instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit r = old_;
    r.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &r) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  sighandler_t oldHandler_ = SIG_DFL;
  bool ok_ = false;
};

TEST(NothingLost, ASaveThatFailsWhileWritingKeepsTheGoodFile) {
  for (const char* name : {"image.bin", "image.hex", "image.eep"}) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    const fs::path target = dir.path() / name;
    WriteAll(target, "the good file");
    MemoryBuffer flash{kFlashBufferBytes};
    MemoryBuffer eeprom{kEepromBufferBytes};
    FillPattern(flash, 0x10000);  // 64 KiB: far more than the limit below lets through
    BufferCommandResult result;
    {
      FileSizeLimit limit(4096);
      ASSERT_TRUE(limit.ok());
      result = SaveCommand(BufferTab::Flash, flash, eeprom, target.string(), 0x10000, 0);
    }
    EXPECT_EQ(ReadAll(target), Bytes({'t', 'h', 'e', ' ', 'g', 'o', 'o', 'd', ' ', 'f', 'i',
                                      'l', 'e'}));
    EXPECT_TRUE(Others(dir.path(), {name}).empty()) << "a temporary file was left behind";
    ASSERT_EQ(result.log.size(), 1u);
    EXPECT_EQ(result.log[0], (LogEntry{LogKind::LogError, target.string() + " not saved."}));
    // With room again, the same save goes through.
    EXPECT_TRUE(SaveCommand(BufferTab::Flash, flash, eeprom, target.string(), 0x10000, 0)
                    .log.empty());
    EXPECT_GT(fs::file_size(target), 0x10000u - 1);
  }
}

TEST(NothingLost, SavesThatCannotBeMadeTouchNothing) {
  ScratchDir dir;
  MemoryBuffer flash{kFlashBufferBytes};
  FillPattern(flash, 256);
  // A path that is a folder: refused, the folder and what is in it stay.
  const fs::path folder = dir.path() / "folder.bin";
  fs::create_directory(folder);
  WriteAll(folder / "inside", "keep");
  EXPECT_EQ(SaveImage(flash, folder.string(), 0, 255), SaveOutcome::Failed);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(ReadAll(folder / "inside"), Bytes({'k', 'e', 'e', 'p'}));
  // A link to a device (here /dev/full, which fails every write): not a file to replace, so
  // nothing is written and the link stays a link.
  const fs::path link = dir.path() / "full.bin";
  fs::create_symlink("/dev/full", link);
  EXPECT_EQ(SaveImage(flash, link.string(), 0, 255), SaveOutcome::Failed);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), fs::path("/dev/full"));
  // A folder that does not exist.
  EXPECT_EQ(SaveImage(flash, (dir.path() / "no" / "such.bin").string(), 0, 255),
            SaveOutcome::Failed);
  EXPECT_EQ(Others(dir.path(), {"folder.bin", "full.bin"}), std::vector<std::string>{});
}

TEST(NothingLost, ASaveIntoAReadOnlyFolderKeepsTheGoodFile) {
  ScratchDir dir;
  const fs::path folder = dir.path() / "ro";
  fs::create_directory(folder);
  const fs::path target = folder / "image.hex";
  WriteAll(target, "good");
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  {
    std::ofstream probe(folder / "probe");
    if (probe) GTEST_SKIP() << "this user writes into read-only folders (root)";
  }
  MemoryBuffer flash{kFlashBufferBytes};
  FillPattern(flash, 1024);
  EXPECT_EQ(SaveImage(flash, target.string(), 0, 1023), SaveOutcome::Failed);
  EXPECT_EQ(ReadAll(target), Bytes({'g', 'o', 'o', 'd'}));
}

// ---- loads ----

TEST(NothingLost, FailedLoadsLeaveTheBufferAsTheUserCanTell) {
  ScratchDir dir;
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
  const fs::path good = dir.path() / "good.bin";
  {
    std::ofstream out(good, std::ios::binary);
    for (int i = 0; i < 300; ++i) out.put(static_cast<char>(i));
  }
  ASSERT_EQ(LoadImageFile(flash, good.string()), 300u);
  const Bytes loaded(flash.data(), flash.data() + flash.capacity());

  // A file that is not there, or a folder: buffer and file name stay; Reload still works.
  for (const fs::path& missing : {dir.path() / "missing.bin", dir.path()}) {
    SCOPED_TRACE(missing.string());
    const auto r = LoadCommand(BufferTab::Flash, flash, eeprom, missing.string(), false);
    ASSERT_EQ(r.log.size(), 1u);
    const char* why = missing == dir.path() ? " is a folder." : " not found.";
    EXPECT_EQ(r.log[0], (LogEntry{LogKind::LogError, missing.string() + why}));
    EXPECT_FALSE(r.refillView);
    EXPECT_TRUE(Bytes(flash.data(), flash.data() + flash.capacity()) == loaded);
    EXPECT_EQ(flash.filePath(), good.string());
  }
  const auto reload = ReloadCommand(BufferTab::Flash, flash, eeprom, false);
  ASSERT_EQ(reload.log.size(), 1u);
  EXPECT_EQ(reload.log[0].text, "good.bin reloaded");

  // A HEX file that breaks off with an unknown record type after good data: the load fails
  // with the reason, and the buffer and its file stay as they were, so Reload still works.
  const fs::path broken = dir.path() / "broken.hex";
  WriteAll(broken, ":0400000001020304F2\n:00000006FA\n:00000001FF\n");
  const auto r = LoadCommand(BufferTab::Flash, flash, eeprom, broken.string(), false);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0], (LogEntry{LogKind::LogError,
                                broken.string() + ": line 2: unknown record type 0x06"}));
  EXPECT_TRUE(Bytes(flash.data(), flash.data() + flash.capacity()) == loaded);
  EXPECT_EQ(flash.filePath(), good.string());
  EXPECT_EQ(ReloadCommand(BufferTab::Flash, flash, eeprom, false).log.at(0).text,
            "good.bin reloaded");
  // The EEPROM buffer was never involved.
  const Bytes e(eeprom.data(), eeprom.data() + eeprom.capacity());
  EXPECT_TRUE(std::all_of(e.begin(), e.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

// ---- chip commands through the user's flows ----

class Yes : public QuestionView {
 public:
  bool AskYesNo(const std::string&, const std::string&) override { return true; }
};

// The application with the real part list, a part selected, and its chip in a simulated
// programmer behind a pseudo-terminal; every packet the host writes is recorded.
class AppOnPty {
 public:
  explicit AppOnPty(const std::string& part, std::vector<std::string> faults = {})
      : app_({std::make_shared<RecordingDriver>(std::make_shared<PosixPortDriver>(), writes)}) {
    ok = LoadPartList(app_.parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg") > 0;
    const PartRecord* record = app_.parts.Find(part);
    if (!ok || !record) {
      ok = false;
      return;
    }
    chip = std::make_shared<SimChip>(SimChip::FromPart(part, *record));
    SimOptions options;
    options.connect = SimConnect::kSocket;
    for (const std::string& f : faults) options.faults.push_back(*ParseSimFault(f));
    sim = std::make_unique<PtySimulator>(chip, options);
    ok = sim->Start();
    app_.settings.COMPort = sim->SlavePath();
    app_.selection.FillChipSelector();
    ok = ok && app_.selection.PickChipByName(part);
    app_.selection.ApplyChipSelection();
    ok = ok && app_.StartProgrammer();
  }
  ~AppOnPty() { app_.jobs.Stop(); }
  AppState& app() { return app_; }
  std::vector<std::string> LogTexts() {
    std::vector<std::string> out;
    for (const LogEntry& e : app_.log.Entries()) out.push_back(e.text);
    return out;
  }
  bool Logged(const std::string& text) {
    const auto t = LogTexts();
    return std::find(t.begin(), t.end(), text) != t.end();
  }

  bool ok = false;
  std::shared_ptr<WriteLog> writes = std::make_shared<WriteLog>();
  std::shared_ptr<SimChip> chip;
  std::unique_ptr<PtySimulator> sim;  // outlives the port (declared before app_)

 private:
  AppState app_;
};

TEST(NothingLost, FuseAndLockWritesSendOnlyTheBytesThePartHas) {
  const struct {
    const char* part;
    Bytes fusePacket;  // CMD_WRITE_FUSES for low 0xE1, high 0xD9, extended 0xFD
  } cases[] = {
      {"ATmega8", {0x48, 0x56, 0x21, 0x00, 0x05, 0x01, 0x01, 0xE1, 0x02, 0xD9}},
      {"ATmega328P", {0x48, 0x56, 0x21, 0x00, 0x07, 0x01, 0x01, 0xE1, 0x02, 0xD9, 0x03, 0xFD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    AppOnPty rig(c.part);
    ASSERT_TRUE(rig.ok);
    AppState& app = rig.app();
    ASSERT_EQ(app.selection.SelectedProgMode(), 1);
    Yes yes;
    const std::uint8_t extendedBefore =
        rig.sim->line().With([](SimProgrammer& p) { return p.chip().extended; });
    app.fuseEditor.SetByte(kTargetLow, 0xE1);
    app.fuseEditor.SetByte(kTargetHigh, 0xD9);
    app.fuseEditor.SetByte(kTargetExtended, 0xFD);  // ignored when the part has none
    ASSERT_TRUE(WriteFusesCommand(app, yes));
    app.Settle(yes);
    const auto fusePackets = rig.writes->PacketsWithCode(CMD_WRITE_FUSES);
    ASSERT_EQ(fusePackets.size(), 1u);
    EXPECT_EQ(fusePackets[0], c.fusePacket);

    app.lockEditor.SetByte(kTargetLockBit, 0xFC);
    ASSERT_TRUE(WriteLockBitsCommand(app, yes));
    app.Settle(yes);
    const auto packets = rig.writes->PacketsWithCode(CMD_WRITE_FUSES);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[1], (Bytes{0x48, 0x56, 0x21, 0x00, 0x03, 0x01, 0x04, 0xFC}));

    const SimChip chip = rig.sim->line().With([](SimProgrammer& p) { return p.chip(); });
    EXPECT_EQ(chip.low, 0xE1);
    EXPECT_EQ(chip.high, 0xD9);
    EXPECT_EQ(chip.extended, c.fusePacket.size() > 10 ? 0xFD : extendedBefore);
    EXPECT_EQ(chip.lock, 0xFC);
    for (const std::string& t : rig.LogTexts()) EXPECT_EQ(t.find("ERROR"), std::string::npos) << t;
  }
}

TEST(NothingLost, AReadThatBreaksOffHalfWayIsAnErrorNeverARead) {
  const struct {
    BufferTab tab;
    const char* fault;
    bool verify;
    const char* success;
  } cases[] = {
      {BufferTab::Flash, "0x30:hangup@5", false, "FLASH Code read into buffer"},
      {BufferTab::Eeprom, "0x30:hangup@3", false, "EEPROM read into buffer"},
      {BufferTab::Flash, "0x30:hangup@6", true, "Verified OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    AppOnPty rig("ATmega8", {c.fault});
    ASSERT_TRUE(rig.ok);
    AppState& app = rig.app();
    app.tab = c.tab;
    Yes yes;
    FillPattern(app.flash, 4096);
    // The chip holds the image, so a verify runs on until the line breaks.
    rig.sim->line().With([&](SimProgrammer& p) {
      std::copy(app.flash.data(), app.flash.data() + p.chip().flash.size(), p.chip().flash.begin());
    });
    const Bytes eepromBefore(app.eeprom.data(), app.eeprom.data() + app.eeprom.capacity());
    const auto t0 = std::chrono::steady_clock::now();
    bool succeeded = true;
    const CommandDone done = [&succeeded](const CommandResult& r) { succeeded = r.ok(); };
    ASSERT_TRUE(c.verify ? VerifyMemoryCommand(app, yes, done) : ReadMemoryCommand(app, yes, done));
    app.Settle(yes);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_FALSE(rig.Logged(c.success));
    EXPECT_FALSE(rig.Logged("Chip differ !!!"));
    EXPECT_TRUE(rig.Logged("Comunication Error Code 0x02!!!"));
    EXPECT_FALSE(succeeded);
    if (c.tab == BufferTab::Flash) {
      EXPECT_TRUE(Bytes(app.eeprom.data(), app.eeprom.data() + app.eeprom.capacity()) ==
                  eepromBefore);
    }
  }
}

}  // namespace
}  // namespace bq::test
