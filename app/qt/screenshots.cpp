#include "app/qt/screenshots.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>

#include "app/qt/main_window.h"
#include "app/qt/settings_window.h"

namespace bq::qt {
namespace {

void Settle(MainWindow& window) {
  window.app().WaitIdleAndDrain();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

}  // namespace

bool SaveScreenshots(MainWindow& window, const QString& dir) {
  QDir().mkpath(dir);
  window.resize(1000, 700);
  window.show();
  Settle(window);
  for (int id : {kIdIdentify, kIdFuseRead, kIdLockRead, kIdCalibrationRead, kIdReadChip}) {
    if (!window.app().CommandAvailable(id)) continue;  // as a greyed button does
    window.app().Command(id);
    Settle(window);
  }
  bool ok = true;
  for (int t = 0; t < kTabCount; ++t) {
    window.tabs()->setCurrentIndex(t);
    Settle(window);
    QString name = QString(kTabTexts[t]).toLower().replace(' ', '-');
    ok = window.grab().save(QString("%1/tab-%2-%3.png").arg(dir).arg(t + 1).arg(name)) && ok;
  }
  window.tabs()->setCurrentIndex(0);
  SettingsDialog dialog(window.app().state(), window.store());
  DialogHost quiet;  // the quiet test on opening shows no box
  SettingsWindow settings(dialog, quiet, &window);
  dialog.Open();
  settings.show();
  Settle(window);
  ok = settings.grab().save(dir + "/settings.png") && ok;
  dialog.Cancel();
  dialog.SetView(nullptr);
  return ok;
}

}  // namespace bq::qt
