// brindlequartz.exe: the Windows desktop program. Options: --simulate [PART] (the in-process
// simulated programmer for this run), --screenshot-dir DIR (save pictures of the window on
// each tab as BMP files and leave).

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/win32/dialog_host.h"
#include "app/win32/main_window.h"
#include "app/win32/screenshots.h"
#include "core/command_line.h"
#include "parts/part_list_location.h"
#include "platform/executable_folder.h"
#include "platform/win32/registry_settings_store.h"

namespace {

// The arguments after the program name, as UTF-8.
std::vector<std::string> Arguments() {
  std::vector<std::string> args = bq::CommandLineUtf8(0, nullptr);
  if (!args.empty()) args.erase(args.begin());
  return args;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  bq::StartOptions options;
  std::string error;
  bq::win32::DialogHost dialogs;
  std::vector<std::string> args = Arguments();
  std::string screenshotDir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--screenshot-dir" && i + 1 < args.size()) {
      screenshotDir = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
  }
  if (!bq::ParseStartOptions(args, options, error)) {
    dialogs.Message(nullptr, bq::win32::BoxIcon::Error, bq::kCaptionError,
                    error + "\n" + bq::kDesktopUsage);
    return 2;
  }
  // PartList.cfg in the current folder, beside the program or in ..\share\brindlequartz\;
  // without one, the start-up shows its "PartList Load ERROR !!!" box.
  std::error_code noCurrentFolder;
  const bq::PartListSearch partList =
      bq::FindPartList(std::filesystem::current_path(noCurrentFolder), bq::ExecutableFolder());
  if (!partList.found.empty()) options.partListPath = partList.found.string();

  bq::RegistrySettingsStore store;
  bq::win32::MainWindow window(instance, store, dialogs, bq::win32::DesktopPortDrivers());
  const int started = window.Create(options);
  if (started != bq::kExitOk) return started;
  ShowWindow(window.hwnd(), show);
  UpdateWindow(window.hwnd());
  if (!screenshotDir.empty()) {
    SetForegroundWindow(window.hwnd());
    const bool ok = bq::win32::SaveScreenshots(window, screenshotDir);
    window.app().Shutdown();
    return ok ? 0 : 1;
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
