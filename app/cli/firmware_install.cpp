#include "app/cli/firmware_install.h"

#include <algorithm>
#include <memory>

#include "app/cli/image_io.h"
#include "image/memory_buffer.h"
#include "drivers/stk500/bootloader_install.h"
#include "link/serial_port.h"
#include "link/tracing_port_driver.h"
#include "platform/executable_folder.h"
#ifdef _WIN32
#include "platform/win32/win32_port_driver.h"
#else
#include "platform/posix/posix_port_driver.h"
#endif

namespace bq::cli {

std::vector<std::filesystem::path> FirmwareImagePlaces(
    const std::filesystem::path& executableFolder, const std::string& board) {
  const std::string file = "brindlequartz-" + board + ".hex";
  std::vector<std::filesystem::path> places;
  if (executableFolder.empty()) return places;
  for (const std::filesystem::path& folder :
       {executableFolder / "firmware",
        executableFolder / ".." / "share" / "brindlequartz" / "firmware",
        executableFolder / ".." / ".." / "firmware"}) {
    const std::filesystem::path place = (folder / file).lexically_normal();
    if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
  }
  return places;
}

namespace {

// The image to install: the one given, or the first shipped one found. Empty with a message
// when there is none.
std::string ImagePath(const FirmwareInstallOptions& o, const BoardBootloader& board) {
  if (o.image) return *o.image;
  const auto places = FirmwareImagePlaces(ExecutableFolder(), board.name);
  std::string tried;
  for (std::size_t i = 0; i < places.size(); ++i) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(places[i], ec)) return places[i].string();
    if (i > 0) tried += i + 1 == places.size() ? " and " : ", ";
    tried += places[i].string();
  }
  Complain(std::string("no firmware image for the board ") + board.name + " found; looked for " +
           (tried.empty() ? std::string("nothing (the program's folder is unknown)") : tried) +
           ". Build it (make firmware) or give one with --image FILE.");
  return {};
}

}  // namespace

int RunFirmwareInstall(const FirmwareInstallOptions& o, Printer& out) {
  const BoardBootloader* board = FindBoardBootloader(o.board);
  if (board == nullptr) {
    Complain("unknown board " + o.board + ": use --board uno (Uno, Nano) or --board mega");
    return kExitUsage;
  }
  const std::string path = ImagePath(o, *board);
  if (path.empty()) return kExitUsage;
  MemoryBuffer buffer(kFlashBufferBytes);
  const ImageLoadResult loaded = LoadCliImage(buffer, path, ImageFormat::Auto);
  if (loaded.count == 0) {
    out.Log(LogKind::LogError, loaded.error.empty() ? path + " not found." : loaded.error);
    return kExitUsage;
  }
  if (!loaded.warning.empty()) out.Log(LogKind::LogWarning, loaded.warning);
  out.Log(LogKind::LogInfo, "Installing " + path + " on the " + board->title + " at " + o.port);

#ifdef _WIN32
  std::shared_ptr<PortDriver> driver = std::make_shared<Win32PortDriver>();
#else
  std::shared_ptr<PortDriver> driver = std::make_shared<PosixPortDriver>();
#endif
  if (out.verbose()) {
    driver =
        std::make_shared<TracingPortDriver>(driver, [&out](const std::string& l) { out.Trace(l); });
  }
  if (o.port == "sim" || o.port.rfind("sim:", 0) == 0) {
    Complain("the simulated programmer has no bootloader: give the board's serial port with -P");
    return kExitUsage;
  }
  SerialPort port({driver});
  if (!port.OpenPort(o.port)) {
    std::fprintf(stderr, "Error Open Serial Port (%s) !!!\n", o.port.c_str());
    const std::string why = port.LastOpenError();
    if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
    return kExitPort;
  }
  const std::shared_ptr<SerialConnection> link = port.Hold();
  const BootloaderResult r = InstallThroughBootloader(
      *link, *board, buffer.data(), buffer.capacity(),
      [&out](LogKind kind, const std::string& text) { out.Log(kind, text); },
      [&out](const BootloaderProgress& p) {
        out.Progress({p.done, p.total, false, false});
        if (p.done == p.total) out.Progress({0, 0, false, true});
      });
  if (r.ok) return kExitOk;
  out.Log(LogKind::LogError, r.message);
  if (r.refused) return kExitUsage;
  if (r.unanswered) {
    out.Log(
        LogKind::LogInfo,
        std::string("Check that ") + o.port +
            " is the board's port and that nothing else uses "
            "it. If the board did not reset when the port opened, press its reset button and run "
            "the command again at once.");
  }
  return kExitFailed;
}

}  // namespace bq::cli
