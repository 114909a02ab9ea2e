// brindlequartz: the desktop program. Options: --simulate [PART] (the in-process simulated
// programmer for this run), --screenshot-dir DIR (save pictures of the window and leave).

#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/qt/dialog_host.h"
#include "app/qt/main_window.h"
#include "app/qt/screenshots.h"
#include "parts/part_list_location.h"
#include "platform/executable_folder.h"
#include "ui/ini_settings_store.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName("Brindlequartz");
  QApplication::setOrganizationName("Varno");
  QApplication::setDesktopFileName("brindlequartz");

  std::vector<std::string> args;
  QString screenshotDir;
  const QStringList all = QApplication::arguments();
  for (int i = 1; i < all.size(); ++i) {
    if (all[i] == "--screenshot-dir" && i + 1 < all.size()) {
      screenshotDir = all[++i];
    } else if (all[i].startsWith("--screenshot-dir=")) {
      screenshotDir = all[i].mid(static_cast<int>(std::string("--screenshot-dir=").size()));
    } else {
      args.push_back(all[i].toStdString());
    }
  }
  bq::StartOptions options;
  std::string error;
  if (!bq::ParseStartOptions(args, options, error)) {
    std::fprintf(stderr, "%s\n%s\n", error.c_str(), bq::kDesktopUsage);
    return 2;
  }

  // PartList.cfg in the current folder, beside the program or in ../share/brindlequartz/.
  // Without one, the start-up shows its "PartList Load ERROR !!!" box; the places tried go
  // to the terminal, if there is one.
  std::error_code noCurrentFolder;
  const bq::PartListSearch partList =
      bq::FindPartList(std::filesystem::current_path(noCurrentFolder), bq::ExecutableFolder());
  if (!partList.found.empty()) {
    options.partListPath = partList.found.string();
  } else {
    std::fprintf(stderr, "brindlequartz: %s\n", bq::PartListNotFoundText(partList).c_str());
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
