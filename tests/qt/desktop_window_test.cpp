// The desktop program's real widgets on the offscreen platform, against the in-process
// simulated programmer: start-up, tab rules, the editors, a whole session, the settings
// dialog, drag and drop, and the exit. Message boxes and file dialogs answer from a script.

#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>

#include "app/qt/dialog_host.h"
#include "app/qt/main_window.h"
#include "app/qt/settings_window.h"
#include "session/chip_prepare.h"
#include "session/session_texts.h"
#include "sim/sim_port_driver.h"
#include "sim/sim_programmer.h"
#include "sim/updi/updi_chip.h"
#include "ui/ini_settings_store.h"
#include "ui/main_window_layout.h"

namespace bq::qt {
namespace {

struct Box {
  BoxIcon icon;
  std::string caption;
  std::string text;
  bool defaultNo = false;  // asked with No as the default button
};

// Answers every modal question from queues and records what was asked.
class ScriptedDialogs : public DialogHost {
 public:
  std::vector<Box> boxes;
  std::deque<bool> answers;  // Yes/No questions; empty: Yes
  std::deque<std::optional<std::string>> openAnswers, saveAnswers;
  std::vector<FileDialogRequest> saveRequests;
  std::function<void(QDialog&)> dialogScript;  // default: Cancel

  void Message(QWidget*, BoxIcon icon, const std::string& caption,
               const std::string& text) override {
    boxes.push_back({icon, caption, text});
  }
  bool AskYesNo(QWidget*, BoxIcon icon, const std::string& caption,
                const std::string& text) override {
    boxes.push_back({icon, caption, text});
    if (answers.empty()) return true;
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
  bool AskYesNoDefaultNo(QWidget* parent, BoxIcon icon, const std::string& caption,
                         const std::string& text) override {
    const bool a = AskYesNo(parent, icon, caption, text);
    boxes.back().defaultNo = true;
    return a;
  }
  std::optional<std::string> OpenFile(QWidget*, const FileDialogRequest&) override {
    return Take(openAnswers);
  }
  std::optional<std::string> SaveFile(QWidget*, const FileDialogRequest& r) override {
    saveRequests.push_back(r);
    return Take(saveAnswers);
  }
  void RunDialog(QDialog& dialog) override {
    if (dialogScript) {
      dialogScript(dialog);
    } else {
      dialog.reject();
    }
  }

 private:
  static std::optional<std::string> Take(std::deque<std::optional<std::string>>& q) {
    if (q.empty()) return std::nullopt;
    auto a = q.front();
    q.pop_front();
    return a;
  }
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A private settings folder, the project's part list and the window on the simulator.
class Desk {
 public:
  Desk() {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("bq-qt-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_CONFIG_HOME", dir_.string().c_str(), 1);
    store_ = std::make_unique<IniSettingsStore>(DefaultSettingsPath());
  }
  ~Desk() {
    window_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  int Start(StartOptions options = {},
            std::string partList = std::string(BQ_SOURCE_DIR) + "/PartList.cfg") {
    options.partListPath = std::move(partList);
    window_ = std::make_unique<MainWindow>(*store_, dialogs, [this](const PartDatabase& parts) {
      sim_ = std::make_shared<SimPortDriver>(&parts);
      return std::vector<std::shared_ptr<PortDriver>>{sim_};
    });
    const int rc = window_->Start(options);
    if (rc == kExitOk) {
      window_->resize(1000, 700);
      window_->show();
      window_->activateWindow();
      if (!QTest::qWaitForWindowActive(window_.get())) qWarning("window not active");
      QApplication::processEvents();
    }
    return rc;
  }
  int StartSimulating(const std::string& part) {
    StartOptions o;
    o.simulate = true;
    o.simulatePart = part;
    return Start(o);
  }

  MainWindow& w() { return *window_; }
  Application& app() { return window_->app(); }
  SimPortDriver& sim() { return *sim_; }
  std::filesystem::path dir() const { return dir_; }

  // Lets the engine thread finish and delivers its events through the event loop (queued
  // calls); a job's question is answered there too.
  void Settle() {
    AppState& state = app().state();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      state.jobs.WaitIdle();
      QApplication::processEvents();
    } while ((state.jobs.IsBusy() || state.queue.Pending() > 0) &&
             std::chrono::steady_clock::now() < deadline);
    QApplication::processEvents();
  }
  void Trigger(QAction* action) {
    QVERIFY(action != nullptr);
    action->trigger();
    Settle();
  }
  void Click(int buttonId) {
    auto* button = qobject_cast<QPushButton*>(w().Control(buttonId));
    QVERIFY(button != nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    Settle();
  }
  // The log as the user sees it: row 0 is the newest.
  QString LogRow(int row) const {
    auto* view = qobject_cast<QListView*>(window_->Control(kIdMessageLog));
    return view->model()->index(row, 0).data().toString();
  }
  bool LogHas(const QString& text, int rows = 40) const {
    auto* view = qobject_cast<QListView*>(window_->Control(kIdMessageLog));
    const int n = std::min(rows, view->model()->rowCount());
    for (int r = 0; r < n; ++r) {
      if (view->model()->index(r, 0).data().toString().contains(text)) return true;
    }
    return false;
  }
  QTableView* Table(int id) { return qobject_cast<QTableView*>(w().Control(id)); }
  QString Cell(int id, int row, int column) {
    return Table(id)->model()->index(row, column).data().toString();
  }
  QString HexRow(int id, int row) {
    auto* view = qobject_cast<QListView*>(w().Control(id));
    return view->model()->index(row, 0).data().toString();
  }
  void ClickCell(FuseEditorKind editor, EditorList list, int row, int column) {
    const int id = editor == FuseEditorKind::Fuses
                       ? (list == EditorList::Fields ? kIdFuseFieldList : kIdFuseByteList)
                       : (list == EditorList::Fields ? kIdLockFieldList : kIdLockByteList);
    Table(id)->scrollTo(Table(id)->model()->index(row, column));  // as a user scrolls to it
    const QRect r = w().EditorCellRect(editor, list, row, column);
    QTest::mouseClick(Table(id)->viewport(), Qt::LeftButton, {}, r.center());
    QApplication::processEvents();
  }

  ScriptedDialogs dialogs;

 private:
  std::filesystem::path dir_;
  std::unique_ptr<IniSettingsStore> store_;
  std::shared_ptr<SimPortDriver> sim_;
  std::unique_ptr<MainWindow> window_;
};

bool Shown(MainWindow& w, int id) {
  QWidget* c = w.Control(id);
  return c != nullptr && c->isVisibleTo(&w) && c->isVisible();
}

const int kPageControls[] = {
    kIdFlashHexView,  kIdEepromHexView, kIdFuseFieldList,   kIdFuseByteList,
    kIdLockFieldList, kIdLockByteList,  kIdFuseSetDefault,  kIdFuseWrite,
    kIdFuseVerify,    kIdFuseRead,      kIdLockSetDefault,  kIdLockWrite,
    kIdLockVerify,    kIdLockRead,      kIdCalibrationList, kIdCalibrationRead};

}  // namespace

class DesktopWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void startUpShowsTheFlashTabTheFirstChipAndTheSimulator() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    QCOMPARE(w.windowTitle(), QString("Brindlequartz v1.00"));
    QVERIFY(d.dialogs.boxes.empty());
    QCOMPARE(w.tabs()->count(), 5);
    for (int t = 0; t < 5; ++t) QCOMPARE(w.tabs()->tabText(t), QString(kTabTexts[t]));
    QCOMPARE(w.tabs()->currentIndex(), 0);
    for (int id : kPageControls) QCOMPARE(Shown(w, id), id == kIdFlashHexView);
    QVERIFY(!w.progressBar()->isVisible());
    // The chip selector lists every part; the first is selected and described.
    const auto& entries = d.app().selection().chipEntries();
    QCOMPARE(w.chipSelector()->count(), static_cast<int>(entries.size()));
    QCOMPARE(w.chipSelector()->currentText().toStdString(), entries.front());
    QCOMPARE(w.chipInfoField(kIdChipName)->text().toStdString(), entries.front());
    QVERIFY(w.chipInfoField(kIdSignature)->text().startsWith("0x1E "));
    QVERIFY(w.chipInfoField(kIdFlashSize)->text().endsWith(" KB"));
    QVERIFY(w.chipInfoField(kIdEepromSize)->text().endsWith(" Bytes"));
    QVERIFY(w.chipInfoField(kIdChipName)->isReadOnly());
    QCOMPARE(d.LogRow(0), QString("Simulated programmer (sim) for this run"));
    // The hex views are virtual: every row of the images, formatted when asked for.
    QCOMPARE(
        d.HexRow(kIdFlashHexView, 0),
        QString("00000 : FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF   ................"));
    auto* flash = qobject_cast<QListView*>(w.Control(kIdFlashHexView));
    QCOMPARE(flash->model()->rowCount(), 20480);
    QCOMPARE(qobject_cast<QListView*>(w.Control(kIdEepromHexView))->model()->rowCount(), 512);
    const std::uint32_t chipRows = d.app().selection().chip().flashRows;
    QCOMPARE(flash->model()
                 ->index(static_cast<int>(chipRows) - 1, 0)
                 .data(Qt::ForegroundRole)
                 .value<QColor>(),
             QColor(0, 0, 255));
    QCOMPARE(flash->model()
                 ->index(static_cast<int>(chipRows), 0)
                 .data(Qt::ForegroundRole)
                 .value<QColor>(),
             QColor(255, 0, 0));
    // Menu items with their shortcuts; toolbar buttons with their tooltips.
    QCOMPARE(w.MenuAction(kMenuLoad)->text(), QString("Load from file"));
    QCOMPARE(w.MenuAction(kMenuLoad)->shortcut(), QKeySequence("Ctrl+O"));
    QCOMPARE(w.MenuAction(kMenuSave)->shortcut(), QKeySequence("Ctrl+S"));
    QCOMPARE(w.MenuAction(kMenuRead)->text(), QString("Read chipcode into buffer"));
    for (int id : kToolbarButtons) {
      QCOMPARE(w.ToolbarAction(id)->toolTip().toStdString(), d.app().ToolbarTooltip(id));
      QVERIFY(w.ToolbarAction(id)->isEnabled());
    }
    QCOMPARE(w.ToolbarAction(kIdWriteChip)->toolTip(), QString("Write buffer to flash ROM"));
  }

  void tabsShowTheirPagesAndGreyTheBufferCommands() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    for (int t = 0; t < kTabCount; ++t) {
      w.tabs()->setCurrentIndex(t);
      QApplication::processEvents();
      const auto wanted = Application::TabControls(static_cast<MainTab>(t));
      for (int id : kPageControls) {
        const bool expected = std::find(wanted.begin(), wanted.end(), id) != wanted.end();
        QVERIFY2(Shown(w, id) == expected, qPrintable(QString("tab %1 control %2").arg(t).arg(id)));
      }
      const bool buffers = t <= 1;
      for (int id : kBufferToolbarButtons) QCOMPARE(w.ToolbarAction(id)->isEnabled(), buffers);
      for (int id : kBufferMenuItems) QCOMPARE(w.MenuAction(id)->isEnabled(), buffers);
      QCOMPARE(w.ToolbarAction(kIdReadChip)->toolTip(),
               QString(t == 1 ? "Read EEPROM into buffer" : "Read flash ROM into buffer"));
    }
    // A greyed menu item's shortcut does nothing either.
    const std::uint32_t before = d.app().state().log.NextSerial();
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(d.app().state().log.NextSerial(), before);
    w.tabs()->setCurrentIndex(0);
    QTest::keyClick(&w, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(d.LogRow(0), QString("FLASH buffer cleared"));
  }

  void choosingAChipUpdatesInformationModesAndEditors() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    const int index = w.chipSelector()->findText("ATtiny85");
    QVERIFY(index >= 0);
    emit w.chipSelector()->activated(index);  // what a pick with the mouse reports
    QApplication::processEvents();
    QCOMPARE(w.chipInfoField(kIdChipName)->text(), QString("ATtiny85"));
    QCOMPARE(w.chipInfoField(kIdSignature)->text(), QString("0x1E 0x93 0x0B"));
    QCOMPARE(w.chipInfoField(kIdFlashSize)->text(), QString("8 KB"));
    QCOMPARE(w.modeSelector()->itemText(0), QString("HVSP"));
    QCOMPARE(w.modeSelector()->itemText(w.modeSelector()->count() - 1), QString("ISP"));
    emit w.modeSelector()->activated(w.modeSelector()->count() - 1);
    QCOMPARE(d.app().selection().SelectedProgMode(), kProgModeIsp);
    QCOMPARE(d.Table(kIdFuseByteList)->model()->rowCount(),
             static_cast<int>(d.app().state().fuseEditor.byteRows().size()));
  }

  void aUpdiPartsFusesTabShowsItsBytesByNameAndAsksBeforeTheUpdiPinGoes() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    const int index = w.chipSelector()->findText("ATtiny1614");
    QVERIFY(index >= 0);
    emit w.chipSelector()->activated(index);
    QApplication::processEvents();
    // Our programmer cannot reach the UPDI pin: the chip commands say what to choose instead.
    QCOMPARE(w.modeSelector()->currentText(), QString("UPDI"));
    QVERIFY(!w.Control(kIdFuseWrite)->isEnabled());
    QVERIFY(!w.ToolbarAction(kIdReadChip)->isEnabled());
    QVERIFY(w.ToolbarAction(kIdIdentify)->isEnabled());
    QCOMPARE(w.Control(kIdFuseWrite)->toolTip(),
             QString("ATtiny1614 is a UPDI part, which the Brindlequartz programmer cannot reach. "
                     "Choose SerialUPDI (USB-serial adapter) in the settings, with the adapter on "
                     "the chip's UPDI pin."));
    d.app().state().programmerOverride = ProgrammerKind::SerialUpdi;
    emit w.chipSelector()->activated(index);
    QApplication::processEvents();
    QVERIFY(w.Control(kIdFuseWrite)->isEnabled());
    w.tabs()->setCurrentIndex(2);
    QApplication::processEvents();
    FuseEditor& fuses = d.app().state().fuseEditor;
    QVERIFY(fuses.IsNamed());
    QCOMPARE(d.Table(kIdFuseByteList)->model()->rowCount(), 8);  // no byte at offset 3
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 0), QString("SYSCFG0"));
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC4"));
    const int active = fuses.FindField("BODCFG.ACTIVE");
    QVERIFY(active >= 0);
    QCOMPARE(d.Cell(kIdFuseFieldList, active, 0), QString("BODCFG.ACTIVE"));
    QCOMPARE(d.Cell(kIdFuseFieldList, active, 1), QString("BOD Operation in Active Mode"));
    QCOMPARE(d.Table(kIdFuseFieldList)->columnWidth(0), FieldNameColumns(true)[0]);

    // A one-bit field's click goes into its byte: EESAVE is on at 1.
    const int eesave = fuses.FindField("SYSCFG0.EESAVE");
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, eesave, 2);
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC5"));

    // RSTPINCFG to GPIO: Write asks first, No the default; No sends nothing.
    const int pin = fuses.FindField("SYSCFG0.RSTPINCFG");
    QVERIFY(pin >= 0);
    fuses.ApplyChoice(static_cast<std::uint32_t>(pin), 0);  // GPIO mode
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC1"));
    d.dialogs.answers = {false};
    const std::size_t asked = d.dialogs.boxes.size();
    d.Click(kIdFuseWrite);
    QCOMPARE(d.dialogs.boxes.size(), asked + 1);
    QVERIFY(d.dialogs.boxes.back().defaultNo);
    QVERIFY(QString::fromStdString(d.dialogs.boxes.back().text)
                .contains("SYSCFG0.RSTPINCFG set to \"GPIO mode\""));
    QVERIFY(!d.LogHas("Write fuses", 5));

    // Set Default: the factory bytes again.
    d.Click(kIdFuseSetDefault);
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC4"));
    QCOMPARE(d.LogRow(0), QString("Set Default Fuses"));
  }

  // A UPDI part simulated on a SerialUPDI adapter, through the window as a user works: the
  // start picks the adapter for this run, then identify, reads, the named fuse bytes, a fuse
  // write, a flash write and Program reach the simulated chip.
  void aUpdiPartOnTheSimulatedAdapterIsIdentifiedReadWrittenAndProgrammed() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATtiny1614"), kExitOk);
    MainWindow& w = d.w();
    QCOMPARE(d.LogRow(0), QString("Simulated SerialUPDI adapter (sim:ATtiny1614) for this run"));
    QCOMPARE(w.chipSelector()->currentText(), QString("ATtiny1614"));
    QCOMPARE(w.modeSelector()->count(), 1);
    QCOMPARE(w.modeSelector()->currentText(), QString("UPDI"));
    QVERIFY(!w.Control(kIdCalibrationRead)->isEnabled());  // no calibration bytes over UPDI
    QVERIFY(w.MenuAction(kMenuProgram)->isEnabled());
    // The saved programmer stays; the settings dialog shows the one of this run.
    d.dialogs.dialogScript = [](QDialog& dialog) {
      auto& s = dynamic_cast<SettingsWindow&>(dialog);
      QCOMPARE(s.programmerList()->currentText(), QString("SerialUPDI"));
      QCOMPARE(s.programmerNote()->text(), QString("USB-serial adapter"));
      dialog.reject();
    };
    d.Trigger(w.MenuAction(kMenuSettings));
    QCOMPARE(d.app().state().settings.Programmer, std::string("brindlequartz"));

    const SimPortDriver::ChipAccess access = d.sim().ChipFor("sim:ATtiny1614");
    const std::shared_ptr<UpdiChip> chip = d.sim().UpdiChipFor("sim:ATtiny1614");
    QVERIFY(chip != nullptr && access.mutex != nullptr);
    auto onChip = [&](const std::function<void(UpdiChip&)>& f) {
      const std::lock_guard<std::mutex> lock(*access.mutex);
      f(*chip);
    };
    onChip([](UpdiChip& c) {
      const std::uint8_t code[] = {0x0C, 0x94, 0x12, 0x34};
      std::copy(std::begin(code), std::end(code), c.Flash().begin());
      c.Fuses()[5] = 0xC5;  // SYSCFG0 (offset 5) with EESAVE on
    });

    // Identify: found on the UPDI wire.
    w.chipSelector()->setCurrentIndex(0);
    emit w.chipSelector()->activated(0);
    d.Trigger(w.ToolbarAction(kIdIdentify));
    QVERIFY2(d.LogHas("Name: ATtiny1614, Signature: 0x1E9422, Connected to: UPDI", 5),
             qPrintable(d.LogRow(0)));
    QCOMPARE(w.chipInfoField(kIdChipName)->text(), QString("ATtiny1614"));
    QCOMPARE(w.chipInfoField(kIdFlashSize)->text(), QString("16 KB"));
    QCOMPARE(w.modeSelector()->currentText(), QString("UPDI"));

    // Read flash.
    d.Trigger(w.ToolbarAction(kIdReadChip));
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
    QVERIFY2(d.HexRow(kIdFlashHexView, 0).startsWith("00000 : 0C 94 12 34 FF"),
             qPrintable(d.HexRow(kIdFlashHexView, 0)));

    // The Fuses tab reads the named bytes; the fields follow them.
    w.tabs()->setCurrentIndex(2);
    QApplication::processEvents();
    FuseEditor& fuses = d.app().state().fuseEditor;
    const int eesave = fuses.FindField("SYSCFG0.EESAVE");
    QVERIFY(eesave >= 0);
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC4"));  // the factory byte until read
    d.Click(kIdFuseRead);
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 0), QString("SYSCFG0"));
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC5"));
    QVERIFY(fuses.FieldChecked(static_cast<std::uint32_t>(eesave)));
    const int pin = fuses.FindField("SYSCFG0.RSTPINCFG");
    QCOMPARE(d.Cell(kIdFuseFieldList, pin, 2), QString("UPDI mode"));

    // A fuse write of a changed field: no question (the UPDI pin stays), the chip has it.
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, eesave, 2);
    QCOMPARE(d.Cell(kIdFuseByteList, 4, 1), QString("0xC4"));
    const std::size_t boxes = d.dialogs.boxes.size();
    d.Click(kIdFuseWrite);
    QCOMPARE(d.dialogs.boxes.size(), boxes);
    onChip([](UpdiChip& c) { QCOMPARE(c.Fuses()[5], std::uint8_t{0xC4}); });
    d.Click(kIdFuseVerify);
    QCOMPARE(d.app().state().log.Row(0).kind, LogKind::LogSuccess);

    // The Lock Bits tab holds the byte that leaves the chip open; a write that locks it asks
    // first, No the default, and No sends nothing.
    w.tabs()->setCurrentIndex(3);
    QApplication::processEvents();
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0xC5"));
    d.Click(kIdLockRead);
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0xC5"));
    QCOMPARE(d.Cell(kIdLockFieldList, 0, 0), QString("LOCKBIT"));
    QCOMPARE(d.Cell(kIdLockFieldList, 0, 2), QString("No locks"));
    d.ClickCell(FuseEditorKind::LockBits, EditorList::Fields, 0, 2);
    QVERIFY(w.choiceCell() != nullptr);
    QCOMPARE(w.choiceCell()->itemText(1), QString("Read and write lock"));
    emit w.choiceCell()->activated(1);
    QApplication::processEvents();
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0x3A"));
    d.dialogs.answers = {false};
    d.Click(kIdLockWrite);
    QCOMPARE(d.dialogs.boxes.size(), boxes + 1);
    QVERIFY(d.dialogs.boxes.back().defaultNo);
    QVERIFY2(QString::fromStdString(d.dialogs.boxes.back().text)
                 .startsWith("LOCKBIT 0x3A locks the ATtiny1614"),
             d.dialogs.boxes.back().text.c_str());
    QCOMPARE(d.LogRow(0), QString("Nothing written into the chip."));
    onChip([](UpdiChip& c) { QVERIFY(!c.Locked()); });
    d.dialogs.boxes.pop_back();
    d.Click(kIdLockSetDefault);
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0xC5"));

    // A flash write from the buffer, read back in the same job.
    w.tabs()->setCurrentIndex(0);
    QApplication::processEvents();
    AppState& state = d.app().state();
    for (int i = 0; i < 300; ++i) state.flash.data()[i] = static_cast<std::uint8_t>(i * 7);
    d.Trigger(w.ToolbarAction(kIdEraseChip));
    d.Trigger(w.ToolbarAction(kIdWriteChip));
    QVERIFY2(d.LogHas("Verified OK", 3), qPrintable(d.LogRow(0)));
    onChip([](UpdiChip& c) {
      QCOMPARE(c.Flash()[1], std::uint8_t{7});
      QCOMPARE(c.Flash()[299], static_cast<std::uint8_t>(299 * 7));
    });

    // Program: erase, flash and EEPROM written and verified, one PASS line.
    for (int i = 0; i < 64; ++i) state.flash.data()[i] = static_cast<std::uint8_t>(0xA0 + i);
    state.eeprom.data()[5] = 0x42;
    d.Trigger(w.MenuAction(kMenuProgram));
    QVERIFY2(d.LogRow(0).startsWith("PASS sim:ATtiny1614 ATtiny1614 "), qPrintable(d.LogRow(0)));
    onChip([](UpdiChip& c) {
      QCOMPARE(c.Flash()[0], std::uint8_t{0xA0});
      QCOMPARE(c.Flash()[63], std::uint8_t{0xDF});
      QCOMPARE(c.Eeprom()[5], std::uint8_t{0x42});
    });
    for (const Box& b : d.dialogs.boxes) QFAIL(qPrintable(QString::fromStdString(b.text)));
  }

  // A locked UPDI chip: a command says to erase it with the Chip menu's Erase, which asks
  // first (No the default) and then erases it with the chip-erase key.
  void aLockedUpdiChipIsErasedFromTheChipMenuAfterAQuestion() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATtiny1614"), kExitOk);
    MainWindow& w = d.w();
    const SimPortDriver::ChipAccess access = d.sim().ChipFor("sim:ATtiny1614");
    const std::shared_ptr<UpdiChip> chip = d.sim().UpdiChipFor("sim:ATtiny1614");
    QVERIFY(chip != nullptr && access.mutex != nullptr);
    auto onChip = [&](const std::function<void(UpdiChip&)>& f) {
      const std::lock_guard<std::mutex> lock(*access.mutex);
      f(*chip);
    };
    onChip([](UpdiChip& c) {
      c.Flash()[0] = 0x12;
      c.Lock()[0] = 0x3A;
      c.PowerCycle();  // the lock is loaded at the reset
    });

    d.Trigger(w.ToolbarAction(kIdReadChip));
    QVERIFY2(d.LogHas(kDesktopUpdiLockedText, 5), qPrintable(d.LogRow(0)));
    QVERIFY(!d.LogHas("--unlock"));
    const std::size_t boxes = d.dialogs.boxes.size();

    d.dialogs.answers = {false};
    d.Trigger(w.MenuAction(kMenuErase));
    QCOMPARE(d.dialogs.boxes.size(), boxes + 1);
    QVERIFY(d.dialogs.boxes.back().defaultNo);
    QCOMPARE(d.dialogs.boxes.back().caption, std::string(kWarningCaption));
    QCOMPARE(d.dialogs.boxes.back().text, std::string(kLockedEraseQuestion));
    QCOMPARE(d.LogRow(0), QString(kNothingErasedText));
    onChip([](UpdiChip& c) { QVERIFY(c.Locked()); });

    d.dialogs.answers = {true};
    d.Trigger(w.ToolbarAction(kIdEraseChip));
    QCOMPARE(d.dialogs.boxes.size(), boxes + 2);
    QVERIFY2(d.LogHas("Chip erased", 3), qPrintable(d.LogRow(0)));
    onChip([](UpdiChip& c) {
      QVERIFY(!c.Locked());
      QCOMPARE(c.Flash()[0], std::uint8_t{0xFF});
    });
    d.Trigger(w.ToolbarAction(kIdReadChip));
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
  }

  void editorsToggleChooseAndTakeTypedBytes() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    w.tabs()->setCurrentIndex(2);
    QApplication::processEvents();
    FuseEditor& fuses = d.app().state().fuseEditor;

    // A bit field: a click on its check box toggles it; both lists follow.
    const int ckdiv8 = fuses.FindField("CKDIV8");
    QVERIFY(ckdiv8 >= 0);
    const std::uint8_t low = fuses.ByteValue(kTargetLow);
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, ckdiv8, 2);
    QCOMPARE(fuses.ByteValue(kTargetLow), static_cast<std::uint8_t>(low ^ 0x80));
    QCOMPARE(d.Cell(kIdFuseByteList, 0, 1),
             QString::asprintf("0x%02X", static_cast<unsigned>(low ^ 0x80)));
    // A click on the name column changes nothing.
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, ckdiv8, 0);
    QCOMPARE(fuses.ByteValue(kTargetLow), static_cast<std::uint8_t>(low ^ 0x80));
    // Warning fields carry the red-framed picture.
    const int spien = fuses.FindField("SPIEN");
    QVERIFY(d.Table(kIdFuseFieldList)->model()->index(spien, 2).data(Qt::UserRole).toInt() >= 2);
    QVERIFY(d.Table(kIdFuseFieldList)->model()->index(ckdiv8, 2).data(Qt::UserRole).toInt() < 2);

    // An enumerator: the click opens the choice list; a choice is applied and the list closes.
    const int bootsz = fuses.FindField("BOOTSZ");
    QVERIFY(bootsz >= 0);
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, bootsz, 2);
    QComboBox* choice = w.choiceCell();
    QVERIFY(choice != nullptr);
    const auto& choices = fuses.fieldRows().at(static_cast<std::uint32_t>(bootsz)).choices;
    QCOMPARE(choice->count(), static_cast<int>(choices.size()));
    emit choice->activated(0);
    QApplication::processEvents();
    QVERIFY(w.choiceCell() == nullptr);
    QCOMPARE(fuses.FieldValue(static_cast<std::uint32_t>(bootsz)), choices.begin()->second.value);
    QCOMPARE(d.Cell(kIdFuseFieldList, bootsz, 2),
             QString::fromStdString(choices.begin()->second.text));

    // A byte typed as hex, decimal or octal; Escape abandons.
    const struct {
      const char* typed;
      const char* shown;
    } typedBytes[] = {{"0x1F", "0x1F"}, {"31", "0x1F"}, {"037", "0x1F"}, {"0xA5", "0xA5"}};
    for (const auto& t : typedBytes) {
      d.ClickCell(FuseEditorKind::Fuses, EditorList::Bytes, 1, 1);  // HIGH
      QLineEdit* cell = w.byteCell();
      QVERIFY(cell != nullptr);
      QVERIFY(cell->hasFocus());
      cell->selectAll();
      QTest::keyClicks(cell, t.typed);
      QTest::keyClick(cell, Qt::Key_Return);
      QApplication::processEvents();
      QVERIFY(w.byteCell() == nullptr);
      QCOMPARE(d.Cell(kIdFuseByteList, 1, 1), QString(t.shown));
    }
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Bytes, 1, 1);
    QVERIFY(w.byteCell() != nullptr);
    QTest::keyClicks(w.byteCell(), "7");
    QTest::keyClick(w.byteCell(), Qt::Key_Escape);
    QApplication::processEvents();
    QVERIFY(w.byteCell() == nullptr);
    QCOMPARE(fuses.ByteValue(kTargetHigh), 0xA5);
    // Switching tabs closes an open cell.
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Bytes, 0, 1);
    QVERIFY(w.byteCell() != nullptr);
    w.tabs()->setCurrentIndex(3);
    QApplication::processEvents();
    QVERIFY(w.byteCell() == nullptr);
    // "Set Default" puts the part's defaults back and says so.
    w.tabs()->setCurrentIndex(2);
    d.Click(kIdFuseSetDefault);
    QCOMPARE(d.LogRow(0), QString("Set Default Fuses"));
    QCOMPARE(fuses.ByteValue(kTargetLow), low);
  }

  void aWholeSessionOnTheSimulatedChip() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));

    d.Trigger(w.ToolbarAction(kIdIdentify));
    QVERIFY2(d.LogHas("Name: ATmega328P"), qPrintable(d.LogRow(0)));
    QCOMPARE(w.chipInfoField(kIdChipName)->text(), QString("ATmega328P"));

    // Load blink.hex through the open dialog.
    const std::string hex = std::string(BQ_SOURCE_DIR) + "/tests/cli/data/blink.hex";
    d.dialogs.openAnswers = {hex};
    d.Trigger(w.MenuAction(kMenuLoad));
    QCOMPARE(d.LogRow(0), QString::fromStdString(hex + " loaded into FLASH buffer"));
    QVERIFY(d.HexRow(kIdFlashHexView, 0).startsWith("00000 : 14 C0 19 C0 18 C0 17 C0 - 16 C0"));

    // Write, verify, read back: the progress bar ends hidden.
    d.Trigger(w.ToolbarAction(kIdWriteChip));
    QVERIFY2(d.LogHas("written"), qPrintable(d.LogRow(0)));
    QVERIFY(!w.progressBar()->isVisible());
    d.Trigger(w.ToolbarAction(kIdVerifyChip));
    QCOMPARE(d.LogRow(0), QString("Verified OK"));
    d.Trigger(w.ToolbarAction(kIdClearBuffer));
    QVERIFY(d.HexRow(kIdFlashHexView, 0).startsWith("00000 : FF FF"));
    d.Trigger(w.ToolbarAction(kIdReadChip));
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
    QVERIFY(d.HexRow(kIdFlashHexView, 0).startsWith("00000 : 14 C0 19 C0"));

    // Save as Intel HEX; the file loads back to the same bytes.
    const std::string saved = (d.dir() / "back.hex").string();
    d.dialogs.saveAnswers = {saved};
    d.Trigger(w.ToolbarAction(kIdSaveBuffer));
    QVERIFY(std::filesystem::exists(saved));
    QVERIFY(ReadFile(saved).rfind(":1000000014C019C018C017C016C015C014C013C042", 0) == 0);
    QCOMPARE(d.dialogs.saveRequests.back().filters.size(), std::size_t{3});

    // Blank check after erase: the chip is empty.
    d.Trigger(w.ToolbarAction(kIdEraseChip));
    QCOMPARE(d.LogRow(0), QString("Chip erased"));
    d.Trigger(w.ToolbarAction(kIdBlankCheck));
    QCOMPARE(d.LogRow(0), QString("Chip is empty"));

    // Fuses: change a field, write, verify, read back.
    w.tabs()->setCurrentIndex(2);
    FuseEditor& fuses = d.app().state().fuseEditor;
    d.ClickCell(FuseEditorKind::Fuses, EditorList::Fields, fuses.FindField("CKDIV8"), 2);
    const std::uint8_t low = fuses.ByteValue(kTargetLow);
    d.Click(kIdFuseWrite);
    QVERIFY2(d.LogHas("Write fuses", 5), qPrintable(d.LogRow(0)));
    d.Click(kIdFuseVerify);
    QVERIFY2(d.LogHas("Fuse bits verification OK", 3), qPrintable(d.LogRow(0)));
    d.Click(kIdFuseSetDefault);
    d.Click(kIdFuseRead);
    QVERIFY(d.LogHas("Read fuses", 5));
    QCOMPARE(fuses.ByteValue(kTargetLow), low);
    QCOMPARE(d.Cell(kIdFuseByteList, 0, 1), QString::asprintf("0x%02X", low));

    // Lock bits: write a lock, verify, read.
    w.tabs()->setCurrentIndex(3);
    d.ClickCell(FuseEditorKind::LockBits, EditorList::Bytes, 0, 1);
    QVERIFY(w.byteCell() != nullptr);
    w.byteCell()->selectAll();
    QTest::keyClicks(w.byteCell(), "0xFC");
    QTest::keyClick(w.byteCell(), Qt::Key_Return);
    d.Click(kIdLockWrite);
    QVERIFY2(d.LogHas("Write lock bits", 5), qPrintable(d.LogRow(0)));
    d.Click(kIdLockVerify);
    QVERIFY(d.LogHas("Lock bits verification OK", 3));
    d.Click(kIdLockSetDefault);
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0xFF"));
    d.Click(kIdLockRead);
    QCOMPARE(d.Cell(kIdLockByteList, 0, 1), QString("0xFC"));

    // Calibration bytes: labels first, values after the read.
    w.tabs()->setCurrentIndex(4);
    QTableView* calibration = d.Table(kIdCalibrationList);
    QVERIFY(calibration->model()->rowCount() > 0);
    QCOMPARE(d.Cell(kIdCalibrationList, 0, 1), QString());
    d.Click(kIdCalibrationRead);
    QCOMPARE(d.LogRow(0), QString("Read Calibration Bytes"));
    QVERIFY(d.Cell(kIdCalibrationList, 0, 1).startsWith("0x"));
    QVERIFY(d.dialogs.boxes.empty());
  }

  void aDroppedImageLoadsIntoTheBufferInFront() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    const std::string eep = (d.dir() / "data.EEP").string();
    std::ofstream(eep) << ":04000000DEADBEEFC4\n:00000001FF\n";
    const std::string other = (d.dir() / "notes.txt").string();
    std::ofstream(other) << "x";
    auto drop = [&](const std::string& path) {
      QMimeData mime;
      mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
      QDragEnterEvent enter(QPoint(500, 300), Qt::CopyAction, &mime, Qt::LeftButton, {});
      QApplication::sendEvent(&w, &enter);
      if (!enter.isAccepted()) return false;
      QDropEvent dropped(QPointF(500, 300), Qt::CopyAction, &mime, Qt::LeftButton, {});
      QApplication::sendEvent(&w, &dropped);
      QApplication::processEvents();
      return true;
    };
    w.tabs()->setCurrentIndex(1);
    QVERIFY(drop(eep));
    QCOMPARE(d.LogRow(0), QString::fromStdString(eep + " loaded into EEPROM buffer"));
    QVERIFY(d.HexRow(kIdEepromHexView, 0).startsWith("00000 : DE AD BE EF FF"));
    d.Trigger(w.MenuAction(kMenuReload));  // Reload takes the dropped file again
    QVERIFY2(d.LogRow(0).endsWith("reloaded"), qPrintable(d.LogRow(0)));
    QVERIFY(!drop(other));
    w.tabs()->setCurrentIndex(2);  // no buffer on this tab
    QVERIFY(!drop(eep));
  }

  void settingsDialogTestsSavesAndCancels() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    // Cancel after changing the clock stores nothing.
    d.dialogs.dialogScript = [](QDialog& dialog) {
      auto& s = dynamic_cast<SettingsWindow&>(dialog);
      QCOMPARE(s.windowTitle(), QString("Settings"));
      QCOMPARE(s.clockList()->count(), 8);
      QCOMPARE(s.clockList()->itemText(0), QString("Auto"));
      emit s.clockList()->activated(3);
      QTest::mouseClick(s.cancelButton(), Qt::LeftButton);
    };
    const std::string before = ReadFile(DefaultSettingsPath());
    d.Trigger(w.MenuAction(kMenuSettings));
    QCOMPARE(ReadFile(DefaultSettingsPath()), before);
    QCOMPARE(d.app().state().settings.ISPSpeed, 0u);

    // Connection test on the simulator shows the versions and the confirmation; Save stores.
    d.dialogs.dialogScript = [](QDialog& dialog) {
      auto& s = dynamic_cast<SettingsWindow&>(dialog);
      const int sim = s.portList()->findText("sim");
      QVERIFY(sim >= 0);
      emit s.portList()->activated(sim);
      QTest::mouseClick(s.testButton(), Qt::LeftButton);
      QCOMPARE(s.hardwareVersion()->text(), QString("02.01"));
      QCOMPARE(s.firmwareVersion()->text(), QString("01.07"));
      emit s.clockList()->activated(2);
      QTest::mouseClick(s.saveButton(), Qt::LeftButton);
    };
    d.Trigger(w.ToolbarAction(kIdSettings));
    QCOMPARE(d.dialogs.boxes.size(), std::size_t{1});
    QCOMPARE(d.dialogs.boxes[0].caption, std::string("Info"));
    QCOMPARE(d.dialogs.boxes[0].text, std::string("Connection successfully..."));
    const std::string after = ReadFile(DefaultSettingsPath());
    QVERIFY2(after.find("COMPort=sim") != std::string::npos, after.c_str());
    QVERIFY2(after.find("ISPSpeed=2") != std::string::npos, after.c_str());
    QCOMPARE(d.LogRow(0), QString("Save Configuration."));
  }

  void exitIsIgnoredWhileBusyAndAskedWhenIdle() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) {
      p.options().blankCheckTime = std::chrono::milliseconds(500);
    });
    w.ToolbarAction(kIdBlankCheck)->trigger();
    QVERIFY(d.app().state().jobs.IsBusy());
    QTRY_VERIFY(w.progressBar()->isVisible());
    QCOMPARE(w.progressBar()->maximum(), 0);  // the busy indicator
    QVERIFY(!w.close());
    QVERIFY(d.dialogs.boxes.empty());
    QVERIFY(w.isVisible());
    d.Settle();
    QVERIFY(!w.progressBar()->isVisible());

    d.dialogs.answers = {false};
    QVERIFY(!w.close());
    QCOMPARE(d.dialogs.boxes.back().caption, std::string("Exit ?"));
    QCOMPARE(d.dialogs.boxes.back().text, std::string("Are you sure you want to exit ?"));
    QVERIFY(w.isVisible());

    d.Trigger(w.MenuAction(kMenuExit));  // answered Yes
    QTRY_VERIFY(!w.isVisible());
    QVERIFY(!d.app().running());
    QVERIFY(!d.app().state().jobs.IsStarted());
  }

  void aTransferMovesADeterminateProgressBar() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    // At the wire's own speed a full flash read takes about three seconds.
    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = true; });
    w.ToolbarAction(kIdReadChip)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(w.progressBar()->isVisible() && w.progressBar()->value() > 0, 10000);
    QVERIFY(w.progressBar()->maximum() > 0);
    QVERIFY(d.app().state().jobs.IsBusy());
    d.Settle();
    QVERIFY(!w.progressBar()->isVisible());
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
  }

  // Stop and Esc end a read (the buffer keeps what it held) and a write (the log says the
  // chip holds a part of the image); the next command runs as usual.
  void stopAndEscEndAReadAndAWrite() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    auto* stop = qobject_cast<QPushButton*>(w.Control(kIdStop));
    QVERIFY(stop != nullptr && stop->isVisible());
    QVERIFY(!stop->isEnabled());
    const std::uint32_t before = d.app().state().log.NextSerial();
    QTest::keyClick(&w, Qt::Key_Escape);  // nothing runs: Esc does nothing
    QCOMPARE(d.app().state().log.NextSerial(), before);

    std::uint8_t* flash = d.app().state().flash.data();
    flash[0] = 0x12;  // the simulated chip is erased: a whole read would make it 0xFF
    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = true; });
    w.ToolbarAction(kIdReadChip)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(w.progressBar()->isVisible() && w.progressBar()->value() > 0, 10000);
    QVERIFY(stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    d.Settle();
    QVERIFY(!stop->isEnabled());
    QVERIFY(d.LogHas("Stopped: the FLASH buffer keeps its old contents.", 5));
    QVERIFY(!d.LogHas("FLASH Code read into buffer", 5));
    QCOMPARE(flash[0], std::uint8_t{0x12});

    w.ToolbarAction(kIdWriteChip)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(w.progressBar()->isVisible() && w.progressBar()->value() > 0, 10000);
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr ? focus : &w, Qt::Key_Escape);
    d.Settle();
    QVERIFY(d.LogHas("Stopped: the chip holds only a part of the image; write it again.", 5));

    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = false; });
    d.Trigger(w.MenuAction(kMenuRead));
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
    QVERIFY(!stop->isEnabled());
  }

  // Chip > "Program again when the file changes": each change of the loaded file programs
  // the chip again; unchecking ends it, and so does Stop.
  void programAgainWhenTheFileChangesTakesUpEachChange() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    QAction* watch = w.MenuAction(kMenuProgramWatch);
    QVERIFY(watch != nullptr && watch->isCheckable());
    watch->trigger();  // no file loaded yet
    QVERIFY(!watch->isChecked());
    QVERIFY(d.LogRow(0).startsWith("Load the image file into the FLASH buffer first"));

    const std::filesystem::path file = d.dir() / "blink.bin";
    auto build = [&file](std::initializer_list<std::uint8_t> bytes) {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      for (std::uint8_t b : bytes) out.put(static_cast<char>(b));
    };
    auto passes = [&d] {
      int n = 0;
      for (int r = 0; r < 200; ++r) n += d.LogRow(r).startsWith("PASS ") ? 1 : 0;
      return n;
    };
    build({1, 2, 3});
    d.dialogs.openAnswers = {file.string()};
    d.Trigger(w.MenuAction(kMenuLoad));
    watch->trigger();
    QVERIFY(watch->isChecked());
    QTest::qWait(1200);
    QCOMPARE(passes(), 0);  // checking it programs nothing

    const std::uint8_t* flash = d.app().state().flash.data();
    build({4, 5, 6, 7});
    QTRY_COMPARE_WITH_TIMEOUT(passes(), 1, 15000);
    d.Settle();
    QCOMPARE(flash[0], std::uint8_t{4});
    build({8, 9});
    QTRY_COMPARE_WITH_TIMEOUT(passes(), 2, 15000);
    d.Settle();
    QCOMPARE(flash[0], std::uint8_t{8});
    QCOMPARE(flash[2], std::uint8_t{0xFF});

    watch->trigger();
    QVERIFY(!watch->isChecked());
    build({10});
    QTest::qWait(1200);
    QCOMPARE(passes(), 2);

    // Stop during a program run started by a change ends the watch too.
    watch->trigger();
    QVERIFY(watch->isChecked());
    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = true; });
    build({11, 12, 13});
    QTRY_VERIFY_WITH_TIMEOUT(d.app().state().jobs.IsBusy() && w.progressBar()->value() > 0, 15000);
    QTest::mouseClick(w.Control(kIdStop), Qt::LeftButton);
    d.Settle();
    QVERIFY(!watch->isChecked());
    QVERIFY(d.LogHas("Stopped: the chip holds only a part of the image; program it again.", 8));
    QVERIFY(d.LogHas("FAIL ", 8));

    // Another file loaded into the buffer ends the watch of the first.
    d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = false; });
    watch->trigger();
    QVERIFY(watch->isChecked());
    const std::filesystem::path other = d.dir() / "other.bin";
    std::ofstream(other, std::ios::binary) << "xyz";
    d.dialogs.openAnswers = {other.string()};
    d.Trigger(w.MenuAction(kMenuLoad));
    QTRY_VERIFY_WITH_TIMEOUT(!watch->isChecked(), 3000);
    QVERIFY(d.LogRow(0).startsWith("No longer programming the chip again when blink.bin changes"));
  }

  void simulateSelectsThePartAndTheSignatureQuestionDefaultsToNo() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    QCOMPARE(w.chipSelector()->currentText(), QString("ATmega328P"));
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATtiny85"));
    d.dialogs.answers = {false};
    d.Trigger(w.MenuAction(kMenuErase));
    QCOMPARE(d.dialogs.boxes.size(), std::size_t{1});
    QVERIFY(d.dialogs.boxes[0].defaultNo);
    QCOMPARE(d.dialogs.boxes[0].caption, std::string("Warning"));
    QVERIFY(d.dialogs.boxes[0].text.find("Continue ?") != std::string::npos);
    QVERIFY(!d.LogHas("Chip erased", 5));

    // The real box: Enter answers No.
    bool sawNoAsDefault = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      sawNoAsDefault = box->defaultButton() == box->button(QMessageBox::No);
      QTest::keyClick(box, Qt::Key_Return);
    });
    DialogHost real;
    QVERIFY(!real.AskYesNoDefaultNo(&w, BoxIcon::Warning, "Warning", "Continue ?"));
    QVERIFY(sawNoAsDefault);
  }

  void theWindowKeepsASizeWhereNothingOverlapsAndWriteIsNotCtrlW() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    MainWindow& w = d.w();
    w.tabs()->setCurrentIndex(2);
    w.resize(600, 400);
    QApplication::processEvents();
    QVERIFY(w.width() > 600);
    QWidget* bytes = w.Control(kIdFuseByteList);
    QWidget* fields = w.Control(kIdFuseFieldList);
    QVERIFY(fields->height() > 40);
    for (int id : {kIdFuseSetDefault, kIdFuseWrite, kIdFuseVerify, kIdFuseRead}) {
      const QRect button = w.Control(id)->geometry();
      QVERIFY2(!button.intersects(bytes->geometry()),
               qPrintable(QString("%1: window %2x%3, button %4,%5 %6x%7, bytes %8,%9 %10x%11")
                              .arg(id).arg(w.width()).arg(w.height())
                              .arg(button.x()).arg(button.y()).arg(button.width()).arg(button.height())
                              .arg(bytes->x()).arg(bytes->y()).arg(bytes->width()).arg(bytes->height())));
      QVERIFY(!button.intersects(fields->geometry()));
      QVERIFY(w.Control(id)->rect().width() == 120);
    }
    // Ctrl+W closes windows on every desktop; Write has its own keys.
    QCOMPARE(w.MenuAction(kMenuWrite)->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W));
    for (QAction* action : w.findChildren<QAction*>()) {
      QVERIFY(action->shortcut() != QKeySequence(Qt::CTRL | Qt::Key_W));
    }
  }

  void theSettingsPortBoxTakesATypedPortAndShowsTheTestResult() {
    Desk d;
    QCOMPARE(d.Start(), kExitOk);
    d.dialogs.dialogScript = [](QDialog& dialog) {
      auto& s = dynamic_cast<SettingsWindow&>(dialog);
      QVERIFY(s.portList()->isEditable());
      s.portList()->setEditText("sim:NOPART");
      QTest::mouseClick(s.testButton(), Qt::LeftButton);
      QVERIFY2(s.testResult()->text().contains("sim:NOPART"), qPrintable(s.testResult()->text()));
      s.portList()->setEditText("sim:ATtiny85");
      QTest::mouseClick(s.testButton(), Qt::LeftButton);
      QCOMPARE(s.testResult()->text(), QString("Connection successfully..."));
      QTest::mouseClick(s.saveButton(), Qt::LeftButton);
    };
    d.Trigger(d.w().MenuAction(kMenuSettings));
    const std::string saved = ReadFile(DefaultSettingsPath());
    QVERIFY2(saved.find("COMPort=sim:ATtiny85") != std::string::npos, saved.c_str());
  }

  // Another kind of programmer chosen in the settings: the commands go through its driver,
  // to the simulated programmer of that protocol; a high-voltage mode it lacks is disabled
  // with a tooltip that says why.
  void anStk500Version2ProgrammerChosenInTheSettingsReadsAndWrites() {
    Desk d;
    QCOMPARE(d.StartSimulating("ATmega328P"), kExitOk);
    MainWindow& w = d.w();
    d.dialogs.dialogScript = [](QDialog& dialog) {
      auto& s = dynamic_cast<SettingsWindow&>(dialog);
      QCOMPARE(s.programmerList()->count(), static_cast<int>(ProgrammerTable().size()));
      QCOMPARE(s.programmerList()->currentIndex(), 0);  // nothing saved: our own protocol
      const int v2 = s.programmerList()->findText("STK500 version 2");
      QVERIFY(v2 >= 0);
      emit s.programmerList()->activated(v2);
      QVERIFY2(
          QString(InfoFor(ProgrammerKind::Stk500v2).title).contains(s.programmerNote()->text()),
          qPrintable(s.programmerNote()->text()));
      s.portList()->setEditText("sim:ATmega328P");
      QTest::mouseClick(s.testButton(), Qt::LeftButton);
      QCOMPARE(s.testResult()->text(), QString("Connection successfully..."));
      QTest::mouseClick(s.saveButton(), Qt::LeftButton);
    };
    d.Trigger(w.MenuAction(kMenuSettings));
    const std::string saved = ReadFile(DefaultSettingsPath());
    QVERIFY2(saved.find("Programmer=stk500v2") != std::string::npos, saved.c_str());
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATmega328P"));
    emit w.modeSelector()->activated(w.modeSelector()->count() - 1);  // on its ISP cable
    QApplication::processEvents();
    QCOMPARE(w.modeSelector()->currentText(), QString("ISP"));

    SimChip* chip =
        d.sim().LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { return &p.chip(); });
    AppState& state = d.app().state();
    for (int i = 0; i < 256; ++i) state.flash.data()[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    d.Trigger(w.ToolbarAction(kIdEraseChip));
    d.Trigger(w.ToolbarAction(kIdWriteChip));
    QVERIFY2(d.LogHas("Verified OK"), qPrintable(d.LogRow(0)));
    QCOMPARE(chip->flash[0], std::uint8_t{0x5A});
    QCOMPARE(chip->flash[255], std::uint8_t{0xA5});

    chip->flash[1] = 0x12;
    d.Trigger(w.MenuAction(kMenuClear));
    d.Trigger(w.ToolbarAction(kIdReadChip));
    QCOMPARE(d.LogRow(0), QString("FLASH Code read into buffer"));
    QVERIFY2(d.HexRow(kIdFlashHexView, 0).startsWith("00000 : 5A 12 58 59"),
             qPrintable(d.HexRow(kIdFlashHexView, 0)));

    // STK500 version 1 has no high-voltage mode: with HVSP selected its chip commands are off.
    state.settings.Programmer = "stk500v1";
    emit w.chipSelector()->activated(w.chipSelector()->findText("ATtiny85"));
    emit w.modeSelector()->activated(0);
    QApplication::processEvents();
    QCOMPARE(w.modeSelector()->currentText(), QString("HVSP"));
    QVERIFY(!w.ToolbarAction(kIdReadChip)->isEnabled());
    QVERIFY(!w.MenuAction(kMenuProgram)->isEnabled());
    QVERIFY(w.ToolbarAction(kIdIdentify)->isEnabled());
    QCOMPARE(w.ToolbarAction(kIdReadChip)->toolTip(),
             QString("The STK500 version 1 programmer has no high-voltage mode. Choose ISP in "
                     "the mode list, or another programmer in the settings."));
    emit w.modeSelector()->activated(w.modeSelector()->count() - 1);  // ISP
    QApplication::processEvents();
    QVERIFY(w.ToolbarAction(kIdReadChip)->isEnabled());
    QCOMPARE(w.ToolbarAction(kIdReadChip)->toolTip(), QString("Read flash ROM into buffer"));
  }

  // The options are read before the window system starts.
  void helpAndAWrongOptionNeedNoDisplay() {
    struct Case {
      QStringList args;
      int exitCode;
      const char* output;
    };
    const Case cases[] = {{{"--help"}, 0, "--partlist FILE"},
                          {{"-platform", "offscreen", "--bogus"}, 2, "unknown argument --bogus"}};
    for (const Case& c : cases) {
      QProcess program;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
      program.setProcessEnvironment(env);
      program.start(BQ_BINARY_DIR "/app/qt/brindlequartz", c.args);
      QVERIFY(program.waitForFinished(20000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), c.exitCode);
      const QString output = program.readAllStandardOutput() + program.readAllStandardError();
      QVERIFY2(output.contains(c.output), qPrintable(output));
    }
  }

  void withoutAPartListTheProgramEndsWithCodeOne() {
    Desk d;
    QCOMPARE(d.Start({}, (d.dir() / "PartList.cfg").string()), kExitStartFailed);
    QCOMPARE(d.dialogs.boxes.size(), std::size_t{1});
    QVERIFY(d.dialogs.boxes[0].text.rfind("PartList Load ERROR !!!\r\n\r\n", 0) == 0);
    QCOMPARE(d.dialogs.boxes[0].caption, std::string("Error"));
    QVERIFY(d.dialogs.boxes[0].icon == BoxIcon::Error);
    QVERIFY(!d.w().isVisible());
  }
};

}  // namespace bq::qt

QTEST_MAIN(bq::qt::DesktopWindowTest)
#include "desktop_window_test.moc"
