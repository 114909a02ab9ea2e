// brindlequartz: the desktop program. Options: see DesktopHelpText (ui/application.h).

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/qt/dialog_host.h"
#include "app/qt/main_window.h"
#include "app/qt/screenshots.h"
#include "platform/executable_folder.h"
#include "ui/ini_settings_store.h"

namespace {

// Qt's own options (-platform offscreen, -style fusion, ...) are for QApplication; they are
// left out of the program's options. Those listed here take a value.
bool IsQtOption(const std::string& a) {
  return a.size() > 1 && a[0] == '-' && a[1] != '-' && a != "-h";
}
bool QtOptionTakesValue(const std::string& a) {
  static const char* const valued[] = {"-platform", "-platformpluginpath", "-platformtheme",
                                       "-plugin",   "-qwindowgeometry",    "-qwindowicon",
                                       "-qwindowtitle", "-style",          "-stylesheet",
                                       "-display",  "-geometry",           "-session"};
  for (const char* v : valued) {
    if (a == v) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The options are read before the window system starts: --help and a wrong option work
  // without a display.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (IsQtOption(a)) {
      if (QtOptionTakesValue(a) && i + 1 < argc) ++i;
      continue;
    }
    args.push_back(a);
  }
  bq::StartOptions options;
  std::string error;
  if (!bq::ParseStartOptions(args, options, error)) {
    std::fprintf(stderr, "brindlequartz: %s\n%s\n", error.c_str(), bq::kDesktopUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(bq::DesktopHelpText().c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
  }

  QApplication qapp(argc, argv);
  QApplication::setApplicationName("Brindlequartz");
  QApplication::setOrganizationName("Varno");
  QApplication::setDesktopFileName("brindlequartz");
  const QString screenshotDir = QString::fromStdString(options.screenshotDir);

  // PartList.cfg named, or in the current folder, beside the program or in
  // ../share/brindlequartz/. Without one, the start-up's "PartList Load ERROR !!!" box names
  // the places looked at.
  std::error_code noCurrentFolder;
  bq::FindStartPartList(options, std::filesystem::current_path(noCurrentFolder),
                        bq::ExecutableFolder());
  if (!options.partListNotFound.empty()) {
    std::fprintf(stderr, "brindlequartz: %s\n", options.partListNotFound.c_str());
  }

  bq::IniSettingsStore store(bq::DefaultSettingsPath());
  bq::qt::DialogHost dialogs;
  bq::qt::MainWindow window(store, dialogs, bq::qt::DesktopPortDrivers());
  const int started = window.Start(options);
  if (started != bq::kExitOk) return started;
  if (!screenshotDir.isEmpty()) {
    const bool ok = bq::qt::SaveScreenshots(window, screenshotDir);
    window.app().Shutdown();
    return ok ? 0 : 1;
  }
  window.show();
  return QApplication::exec();
}
