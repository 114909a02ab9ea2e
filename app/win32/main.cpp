// brindlequartz.exe: the Windows desktop program. Options: see DesktopHelpText
// (ui/application.h); --screenshot-dir saves BMP files.

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/win32/dialog_host.h"
#include "app/win32/main_window.h"
#include "app/win32/screenshots.h"
#include "core/command_line.h"
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
  const std::vector<std::string> args = Arguments();
  if (!bq::ParseStartOptions(args, options, error)) {
    dialogs.Message(nullptr, bq::win32::BoxIcon::Error, bq::kCaptionError,
                    error + "\n" + bq::kDesktopUsage);
    return 2;
  }
  if (options.help) {
    // A program without a console: the help is a box.
    dialogs.Message(nullptr, bq::win32::BoxIcon::Information, bq::kCaptionInfo,
                    bq::DesktopHelpText());
    return 0;
  }
  const std::string& screenshotDir = options.screenshotDir;
  // PartList.cfg named, or in the current folder, beside the program or in
  // ..\share\brindlequartz\; without one, the start-up's "PartList Load ERROR !!!" box names
  // the places looked at.
  std::error_code noCurrentFolder;
  bq::FindStartPartList(options, std::filesystem::current_path(noCurrentFolder),
                        bq::ExecutableFolder());

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
    if (window.PreTranslate(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
