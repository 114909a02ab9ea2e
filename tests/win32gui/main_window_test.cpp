// The Windows main window in this process, driven by the messages a user's actions send:
// commands, selector changes, tab changes, clicks on editor cells, tooltips and custom
// drawing; message boxes and file dialogs answered by a scripted host.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/win32/dialog_host.h"
#include "app/win32/main_window.h"
#include "core/utf8_path.h"
#include "image/image_file.h"
#include "platform/win32/registry_settings_store.h"
#include "sim/sim_port_driver.h"
#include "sim/updi/updi_chip.h"
#include "ui/main_window_layout.h"

namespace bq::win32 {
namespace {

constexpr const char* kTestKey = "Software\\Varno\\BrindlequartzGuiTest";

struct Box {
  BoxIcon icon;
  std::string caption;
  std::string text;
  bool defaultNo = false;  // asked with No as the default button
};

// Answers every modal question from a script and keeps what was asked.
class ScriptedHost : public DialogHost {
 public:
  std::vector<Box> boxes;
  std::deque<bool> yesNo;
  std::deque<std::optional<std::string>> openAnswers, saveAnswers;
  std::vector<FileDialogRequest> openRequests;
  int settingsDialogs = 0;

  void Message(HWND, BoxIcon icon, const std::string& caption, const std::string& text) override {
    boxes.push_back({icon, caption, text});
  }
  bool AskYesNo(HWND, BoxIcon icon, const std::string& caption, const std::string& text) override {
    boxes.push_back({icon, caption, text});
    if (yesNo.empty()) return true;
    const bool a = yesNo.front();
    yesNo.pop_front();
    return a;
  }
  bool AskYesNoDefaultNo(HWND owner, BoxIcon icon, const std::string& caption,
                         const std::string& text) override {
    const bool a = AskYesNo(owner, icon, caption, text);
    boxes.back().defaultNo = true;
    return a;
  }
  std::optional<std::string> OpenFile(HWND, const FileDialogRequest& request) override {
    openRequests.push_back(request);
    if (openAnswers.empty()) return std::nullopt;
    auto a = openAnswers.front();
    openAnswers.pop_front();
    return a;
  }
  std::optional<std::string> SaveFile(HWND, const FileDialogRequest&) override {
    if (saveAnswers.empty()) return std::nullopt;
    auto a = saveAnswers.front();
    saveAnswers.pop_front();
    return a;
  }
  // With realSettingsDialog the system dialog 116 runs and a timer reads it and cancels it;
  // with a programmer named as well, the timer chooses it and the port, tests and saves.
  bool realSettingsDialog = false;
  std::string chooseProgrammer, choosePort;
  std::string dialogNote, dialogResult;
  std::vector<std::string> dialogPorts;
  std::string dialogHardware;
  void RunSettingsDialog(HWND owner, HINSTANCE instance, SettingsDialog& dialog) override {
    ++settingsDialogs;
    if (realSettingsDialog) {
      SetPropA(owner, "bq-test-host", this);
      SetTimer(owner, 1, 300, CancelOpenDialog);
      DialogHost::RunSettingsDialog(owner, instance, dialog);
      KillTimer(owner, 1);
      RemovePropA(owner, "bq-test-host");
      return;
    }
    dialog.Open();
    dialog.Cancel();
  }

 private:
  static std::string Text(HWND dialog, int id) {
    char text[256]{};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
  }
  static void CALLBACK CancelOpenDialog(HWND owner, UINT, UINT_PTR id, DWORD) {
    auto* self = static_cast<ScriptedHost*>(GetPropA(owner, "bq-test-host"));
    HWND dialog = FindWindowA("#32770", "Settings");
    if (self == nullptr || dialog == nullptr) return;
    KillTimer(owner, id);
    HWND ports = GetDlgItem(dialog, 1001);
    const LRESULT count = SendMessageA(ports, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[128]{};
      SendMessageA(ports, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      self->dialogPorts.push_back(text);
    }
    if (!self->chooseProgrammer.empty()) {
      HWND programmers = GetDlgItem(dialog, 1008);
      const LRESULT at = SendMessageA(programmers, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(self->chooseProgrammer.c_str()));
      SendMessageA(programmers, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1008, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(programmers));
      self->dialogNote = Text(dialog, 1009);
      SetDlgItemTextA(dialog, 1001, self->choosePort.c_str());
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
      self->dialogResult = Text(dialog, 1007);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), 0);
      return;
    }
    // "sim" picked, then "Connection Test".
    const LRESULT sim = SendMessageA(ports, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>("sim"));
    SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(sim), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1001, CBN_SELCHANGE), reinterpret_cast<LPARAM>(ports));
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
    char hardware[32]{};
    GetDlgItemTextA(dialog, 1003, hardware, sizeof hardware);
    self->dialogHardware = hardware;
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
};

std::string ClassOf(HWND w) {
  char name[64]{};
  GetClassNameA(w, name, sizeof name);
  return name;
}

std::string TextOf(HWND w) {
  char text[256]{};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

std::string ItemText(HWND list, int row, int column = 0) {
  char text[260]{};
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return text;
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    store_ = std::make_unique<RegistrySettingsStore>(kTestKey);
    // The program's drivers; the test keeps the simulator's to slow it down.
    window_ = std::make_unique<MainWindow>(
        GetModuleHandleA(nullptr), *store_, host_,
        [this](const PartDatabase& parts) {
          auto drivers = DesktopPortDrivers()(parts);
          for (const auto& d : drivers) {
            if (auto sim = std::dynamic_pointer_cast<SimPortDriver>(d)) sim_ = sim;
          }
          return drivers;
        },
        false);
  }
  void TearDown() override {
    window_.reset();
    Pump();
    store_.reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
  }

  int Start(const std::string& partList = BQ_SOURCE_DIR "/PartList.cfg",
            const std::string& part = "ATmega328P") {
    StartOptions options;
    options.partListPath = partList;
    options.simulate = true;
    options.simulatePart = part;
    const int started = window_->Create(options);
    if (started == kExitOk) ShowWindow(Main(), SW_SHOWNOACTIVATE);
    Pump();
    return started;
  }
  HWND Main() const { return window_->hwnd(); }
  HWND C(int id) const { return window_->Control(id); }
  Application& App() { return window_->app(); }

  void Command(int id) {
    SendMessageA(Main(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
    // A delivered event may start the next step of a flow (a write's verify): wait again.
    for (int i = 0; i < 5; ++i) {
      App().WaitIdleAndDrain();
      Pump();
    }
  }
  void PickTab(int index) {
    SendMessageA(C(kIdTabControl), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    NMHDR n{C(kIdTabControl), static_cast<UINT_PTR>(kIdTabControl), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageA(Main(), WM_NOTIFY, kIdTabControl, reinterpret_cast<LPARAM>(&n));
    Pump();
  }
  void Pick(int comboId, const std::string& entry) {
    HWND combo = C(comboId);
    const LRESULT index =
        SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry.c_str()));
    ASSERT_GE(index, 0) << entry;
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(Main(), WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    App().WaitIdleAndDrain();
    Pump();
  }
  std::string Tooltip(int id) {
    NMTTDISPINFOA info{};
    info.hdr.hwndFrom = nullptr;
    info.hdr.idFrom = static_cast<UINT_PTR>(id);
    info.hdr.code = TTN_GETDISPINFOA;
    SendMessageA(Main(), WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&info));
    return info.lpszText != nullptr ? info.lpszText : "";
  }
  // The colour a hex view row is painted in.
  COLORREF RowColour(int id, int row) {
    NMLVCUSTOMDRAW draw{};
    draw.nmcd.hdr = {C(id), static_cast<UINT_PTR>(id), static_cast<UINT>(NM_CUSTOMDRAW)};
    draw.nmcd.dwDrawStage = CDDS_PREPAINT;
    EXPECT_EQ(SendMessageA(Main(), WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&draw)),
              CDRF_NOTIFYITEMDRAW);
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
    SendMessageA(Main(), WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&draw));
    return draw.clrText;
  }
  // A left click in the middle of a cell of an editor list, scrolled into view first as a
  // user would.
  void ClickCell(int id, int row, int column) {
    HWND list = C(id);
    SendMessageA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
    RECT r{};
    r.top = column;
    r.left = LVIR_BOUNDS;
    ASSERT_TRUE(SendMessageA(list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&r)));
    NMITEMACTIVATE click{};
    click.hdr = {list, static_cast<UINT_PTR>(id), static_cast<UINT>(NM_CLICK)};
    click.ptAction = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    click.iItem = row;
    click.iSubItem = column;
    SendMessageA(Main(), WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&click));
    Pump();
  }
  bool ButtonEnabled(int id) {
    return SendMessageA(C(kIdToolbar), TB_ISBUTTONENABLED, static_cast<WPARAM>(id), 0) != 0;
  }
  bool MenuEnabled(int id) {
    return (GetMenuState(window_->menu(), static_cast<UINT>(id), MF_BYCOMMAND) & MF_GRAYED) == 0;
  }
  std::string NewestLog() { return ItemText(C(kIdMessageLog), 0); }

  ScriptedHost host_;
  std::shared_ptr<SimPortDriver> sim_;
  std::unique_ptr<RegistrySettingsStore> store_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, StartUpBuildsEveryControlInPlace) {
  ASSERT_EQ(Start(), kExitOk);
  ASSERT_NE(Main(), nullptr);
  EXPECT_EQ(ClassOf(Main()), "brindlequartz");
  EXPECT_EQ(TextOf(Main()), "Brindlequartz v1.00");
  RECT r{};
  GetWindowRect(Main(), &r);
  EXPECT_EQ(r.right - r.left, 1000);
  EXPECT_EQ(r.bottom - r.top, 700);
  const LONG_PTR style = GetWindowLongPtrA(Main(), GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);

  struct Expected {
    int id;
    const char* cls;
  };
  const Expected children[] = {
      {200, "ToolbarWindow32"}, {201, "SysTabControl32"}, {202, "msctls_statusbar32"},
      {203, "SysListView32"},   {204, "ComboBox"},        {205, "ComboBox"},
      {206, "SysListView32"},   {207, "SysListView32"},   {208, "SysListView32"},
      {209, "SysListView32"},   {210, "SysListView32"},   {211, "SysListView32"},
      {212, "Edit"},            {213, "Edit"},            {214, "Edit"},
      {215, "Edit"},            {216, "msctls_progress32"}, {217, "SysListView32"}};
  for (const Expected& e : children) {
    HWND w = C(e.id);
    ASSERT_NE(w, nullptr) << e.id;
    EXPECT_EQ(GetDlgCtrlID(w), e.id);
    EXPECT_EQ(_stricmp(ClassOf(w).c_str(), e.cls), 0) << e.id << " " << ClassOf(w);
    const bool inToolbar = e.id == kIdChipSelector || e.id == kIdModeSelector;
    EXPECT_EQ(GetParent(w), inToolbar ? C(kIdToolbar) : Main()) << e.id;
  }
  for (int id = kIdFuseSetDefault; id <= kIdCalibrationRead; ++id) ASSERT_NE(C(id), nullptr) << id;

  // Flash tab in front: only its hex view of the pages shows; the progress bar is hidden.
  EXPECT_EQ(SendMessageA(C(kIdTabControl), TCM_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SendMessageA(C(kIdTabControl), TCM_GETITEMCOUNT, 0, 0), 5);
  EXPECT_TRUE(IsWindowVisible(C(kIdFlashHexView)));
  for (int id : {207, 208, 209, 210, 211, 216, 217, 511, 512, 513, 514, 515, 516, 517, 518, 519}) {
    EXPECT_FALSE(IsWindowVisible(C(id))) << id;
  }
  EXPECT_EQ(TextOf(C(kIdStatusBar)), "");
  EXPECT_GT(SendMessageA(C(kIdChipSelector), CB_GETCOUNT, 0, 0), 10);
  EXPECT_EQ(TextOf(C(kIdChipName)), App().selection().ChipSelectorText());
}

TEST_F(MainWindowTest, EachTabShowsItsPageAndGreysWhatItCannotDo) {
  ASSERT_EQ(Start(), kExitOk);
  const int pageControls[] = {206, 207, 208, 209, 210, 211, 217, 511, 512, 513,
                              514, 515, 516, 517, 518, 519};
  for (int tab = kTabCount - 1; tab >= 0; --tab) {
    PickTab(tab);
    ASSERT_EQ(App().tab(), static_cast<MainTab>(tab));
    const std::vector<int> shown = Application::TabControls(static_cast<MainTab>(tab));
    for (int id : pageControls) {
      const bool expected = std::find(shown.begin(), shown.end(), id) != shown.end();
      EXPECT_EQ(IsWindowVisible(C(id)) != FALSE, expected) << "tab " << tab << " id " << id;
    }
    const bool buffer = tab <= 1;
    for (int id : kBufferToolbarButtons) EXPECT_EQ(ButtonEnabled(id), buffer) << tab << " " << id;
    for (int id : kBufferMenuItems) EXPECT_EQ(MenuEnabled(id), buffer) << tab << " " << id;
    for (int id : {kIdWriteChip, kIdReadChip, kIdIdentify, kIdSettings}) {
      EXPECT_TRUE(ButtonEnabled(id)) << tab << " " << id;
    }
  }
}

TEST_F(MainWindowTest, ToolbarTooltipsFollowTheTab) {
  ASSERT_EQ(Start(), kExitOk);
  EXPECT_EQ(Tooltip(kIdLoadBuffer), "Load file into buffer");
  EXPECT_EQ(Tooltip(kIdVerifyChip), "Verify flash ROM against buffer");
  EXPECT_EQ(Tooltip(kIdIdentify), "Identify chip");
  PickTab(1);
  EXPECT_EQ(Tooltip(kIdWriteChip), "Write buffer to EEPROM");
  EXPECT_EQ(Tooltip(kIdEraseChip), "Erase chip (flsh ROM and EEPROM)");
  for (int id : kToolbarButtons) EXPECT_EQ(Tooltip(id), App().ToolbarTooltip(id)) << id;
}

TEST_F(MainWindowTest, HexViewsAreVirtualWithBlueRowsInsideTheChip) {
  ASSERT_EQ(Start(), kExitOk);
  EXPECT_EQ(SendMessageA(C(kIdFlashHexView), LVM_GETITEMCOUNT, 0, 0), 20480);
  EXPECT_EQ(SendMessageA(C(kIdEepromHexView), LVM_GETITEMCOUNT, 0, 0), 512);
  EXPECT_NE(GetWindowLongPtrA(C(kIdFlashHexView), GWL_STYLE) & LVS_OWNERDATA, 0);
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0),
            "00000 : FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF   ................");
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 20479).substr(0, 8), "4FFF0 : ");
  // ATmega328P: 32 KiB of flash (2048 rows), 1 KiB of EEPROM (64 rows).
  Pick(kIdChipSelector, "ATmega328P");
  EXPECT_EQ(RowColour(kIdFlashHexView, 0), RGB(0, 0, 255));
  EXPECT_EQ(RowColour(kIdFlashHexView, 2047), RGB(0, 0, 255));
  EXPECT_EQ(RowColour(kIdFlashHexView, 2048), RGB(255, 0, 0));
  EXPECT_EQ(RowColour(kIdEepromHexView, 63), RGB(0, 0, 255));
  EXPECT_EQ(RowColour(kIdEepromHexView, 64), RGB(255, 0, 0));
}

TEST_F(MainWindowTest, SessionAgainstTheSimulator) {
  ASSERT_EQ(Start(), kExitOk);
  Command(kIdIdentify);
  EXPECT_EQ(TextOf(C(kIdChipName)), "ATmega328P");
  EXPECT_EQ(TextOf(C(kIdChipName)), App().selection().ChipSelectorText());
  EXPECT_EQ(NewestLog(), App().state().log.Row(0).text);

  host_.openAnswers.push_back(std::string(BQ_SOURCE_DIR "/tests/cli/data/blink.hex"));
  Command(kIdLoadBuffer);
  ASSERT_EQ(host_.openRequests.size(), 1u);
  EXPECT_TRUE(host_.openRequests[0].fileMustExist);
  const std::string row0 = ItemText(C(kIdFlashHexView), 0);
  EXPECT_NE(row0.substr(8, 2), "FF") << row0;

  host_.yesNo = {true, true, true};
  Command(kIdWriteChip);
  Command(kIdVerifyChip);
  EXPECT_EQ(App().state().log.Row(0).kind, LogKind::LogSuccess) << NewestLog();
  LVITEMA item{};
  item.mask = LVIF_IMAGE;
  item.iItem = 0;
  SendMessageA(C(kIdMessageLog), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  EXPECT_EQ(item.iImage, static_cast<int>(LogKind::LogSuccess));

  Command(kIdClearBuffer);
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0).substr(8, 2), "FF");
  Command(kIdReadChip);
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0), row0);
  EXPECT_FALSE(IsWindowVisible(C(kIdProgressBar)));

  PickTab(2);
  Command(kIdFuseRead);
  const std::size_t bytes = App().editor(FuseEditorKind::Fuses).byteRows().size();
  EXPECT_EQ(SendMessageA(C(kIdFuseByteList), LVM_GETITEMCOUNT, 0, 0), static_cast<LRESULT>(bytes));
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 0, 0), "LOW");
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 0, 1),
            App().editor(FuseEditorKind::Fuses).byteRows().at(0).valueText);
  for (const Box& b : host_.boxes) ADD_FAILURE() << b.caption << ": " << b.text;
}

TEST_F(MainWindowTest, EditorCellsOpenOverTheClickedCell) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATmega328P");
  PickTab(2);
  ClickCell(kIdFuseByteList, 0, 1);
  HWND cell = window_->cellWindow();
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(_stricmp(ClassOf(cell).c_str(), "Edit"), 0);
  EXPECT_EQ(GetParent(cell), C(kIdFuseByteList));
  SetWindowTextA(cell, "0x5A");
  SendMessageA(cell, WM_CHAR, VK_RETURN, 0);
  Pump();
  EXPECT_EQ(window_->cellWindow(), nullptr);
  EXPECT_FALSE(IsWindow(cell));
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 0, 1), "0x5A");

  // Escape leaves the byte as it was.
  ClickCell(kIdFuseByteList, 0, 1);
  cell = window_->cellWindow();
  ASSERT_NE(cell, nullptr);
  SetWindowTextA(cell, "0x11");
  SendMessageA(cell, WM_CHAR, VK_ESCAPE, 0);
  Pump();
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 0, 1), "0x5A");

  // A click on a name cell opens nothing.
  ClickCell(kIdFuseFieldList, 0, 0);
  EXPECT_EQ(window_->cellWindow(), nullptr);

  // An enumerator row: a choice list; picking an entry applies it and closes the list.
  const FuseEditor& e = App().editor(FuseEditorKind::Fuses);
  int enumRow = -1;
  for (const auto& [row, field] : e.fieldRows()) {
    if (field.isEnumerator && field.choices.size() > 1) {
      enumRow = static_cast<int>(row);
      break;
    }
  }
  ASSERT_GE(enumRow, 0);
  ClickCell(kIdFuseFieldList, enumRow, 2);
  cell = window_->cellWindow();
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(_stricmp(ClassOf(cell).c_str(), "ComboBox"), 0);
  const LRESULT count = SendMessageA(cell, CB_GETCOUNT, 0, 0);
  EXPECT_EQ(count, static_cast<LRESULT>(e.fieldRows().at(static_cast<std::uint32_t>(enumRow)).choices.size()));
  const LRESULT pick = (SendMessageA(cell, CB_GETCURSEL, 0, 0) + 1) % count;
  char text[128]{};
  SendMessageA(cell, CB_GETLBTEXT, static_cast<WPARAM>(pick), reinterpret_cast<LPARAM>(text));
  SendMessageA(cell, CB_SETCURSEL, static_cast<WPARAM>(pick), 0);
  SendMessageA(C(kIdFuseFieldList), WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE), reinterpret_cast<LPARAM>(cell));
  Pump();
  EXPECT_EQ(window_->cellWindow(), nullptr);
  EXPECT_EQ(e.CurrentChoiceText(static_cast<std::uint32_t>(enumRow)), text);
  EXPECT_EQ(ItemText(C(kIdFuseFieldList), enumRow, 2), text);
}

TEST_F(MainWindowTest, AUpdiPartsFusesTabShowsItsBytesByNameAndAsksBeforeTheUpdiPinGoes) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATtiny1614");
  PickTab(2);
  FuseEditor& e = App().state().fuseEditor;
  ASSERT_TRUE(e.IsNamed());
  EXPECT_EQ(SendMessageA(C(kIdFuseByteList), LVM_GETITEMCOUNT, 0, 0), 8);  // no byte at offset 3
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 0), "SYSCFG0");
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC4");
  const int eesave = e.FindField("SYSCFG0.EESAVE");
  ASSERT_GE(eesave, 0);
  EXPECT_EQ(ItemText(C(kIdFuseFieldList), eesave, 0), "SYSCFG0.EESAVE");
  EXPECT_EQ(SendMessageA(C(kIdFuseFieldList), LVM_GETCOLUMNWIDTH, 0, 0), FieldNameColumns(true)[0]);
  ClickCell(kIdFuseFieldList, eesave, 2);  // on at 1
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC5");

  // RSTPINCFG to GPIO: Write asks first with No as the default; No sends nothing.
  e.ApplyChoice(static_cast<std::uint32_t>(e.FindField("SYSCFG0.RSTPINCFG")), 0);
  Pump();
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC1");
  host_.yesNo = {false};
  const std::size_t asked = host_.boxes.size();
  Command(kIdFuseWrite);
  ASSERT_EQ(host_.boxes.size(), asked + 1);
  EXPECT_TRUE(host_.boxes.back().defaultNo);
  EXPECT_NE(host_.boxes.back().text.find("SYSCFG0.RSTPINCFG set to \"GPIO mode\""), std::string::npos);
  EXPECT_NE(NewestLog(), "Write fuses");
  Command(kIdFuseSetDefault);
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC4");
}

// A UPDI part simulated on a SerialUPDI adapter, through the window's messages: the start
// picks the adapter for this run, then identify, reads, the named fuse bytes, a fuse write, a
// flash write and Program reach the simulated chip.
TEST_F(MainWindowTest, AUpdiPartOnTheSimulatedAdapterIsIdentifiedReadWrittenAndProgrammed) {
  ASSERT_EQ(Start(BQ_SOURCE_DIR "/PartList.cfg", "ATtiny1614"), kExitOk);
  EXPECT_EQ(NewestLog(), "Simulated SerialUPDI adapter (sim:ATtiny1614) for this run");
  EXPECT_EQ(TextOf(C(kIdModeSelector)), "UPDI");
  EXPECT_TRUE(MenuEnabled(kMenuProgram));
  EXPECT_FALSE(IsWindowEnabled(C(kIdCalibrationRead)));  // no calibration bytes over UPDI
  const SimPortDriver::ChipAccess access = sim_->ChipFor("sim:ATtiny1614");
  const std::shared_ptr<UpdiChip> chip = sim_->UpdiChipFor("sim:ATtiny1614");
  ASSERT_TRUE(chip != nullptr && access.mutex != nullptr);
  auto onChip = [&](const std::function<void(UpdiChip&)>& f) {
    const std::lock_guard<std::mutex> lock(*access.mutex);
    f(*chip);
  };
  onChip([](UpdiChip& c) {
    c.Flash()[0] = 0x0C;
    c.Flash()[1] = 0x94;
    c.Fuses()[5] = 0xC5;  // SYSCFG0 (offset 5) with EESAVE on
  });

  Pick(kIdChipSelector, "ATmega328P");
  Command(kIdIdentify);
  EXPECT_EQ(TextOf(C(kIdChipName)), "ATtiny1614");
  EXPECT_EQ(TextOf(C(kIdModeSelector)), "UPDI");
  bool found = false;
  for (int row = 0; row < 5; ++row) {
    found = found || ItemText(C(kIdMessageLog), row) ==
                         "Name: ATtiny1614, Signature: 0x1E9422, Connected to: UPDI";
  }
  EXPECT_TRUE(found) << NewestLog();
  Command(kIdReadChip);
  EXPECT_EQ(NewestLog(), "FLASH Code read into buffer");
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0).substr(0, 17), "00000 : 0C 94 FF ");

  // The Fuses tab: every named byte shows in its taller list, and the read fills them.
  PickTab(2);
  RECT list{};
  GetWindowRect(C(kIdFuseByteList), &list);
  EXPECT_EQ(list.bottom - list.top, EditorLists({}, true).bytes.height);
  EXPECT_GE(SendMessageA(C(kIdFuseByteList), LVM_GETCOUNTPERPAGE, 0, 0), 8);
  Command(kIdFuseRead);
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 0), "SYSCFG0");
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC5");
  const int eesave = App().state().fuseEditor.FindField("SYSCFG0.EESAVE");
  ASSERT_GE(eesave, 0);
  ClickCell(kIdFuseFieldList, eesave, 2);
  EXPECT_EQ(ItemText(C(kIdFuseByteList), 4, 1), "0xC4");
  Command(kIdFuseWrite);  // the UPDI pin stays: no question
  onChip([](UpdiChip& c) { EXPECT_EQ(c.Fuses()[5], 0xC4); });

  // The Lock Bits tab holds the byte that leaves the chip open.
  PickTab(3);
  EXPECT_EQ(ItemText(C(kIdLockByteList), 0, 1), "0xC5");
  EXPECT_EQ(ItemText(C(kIdLockFieldList), 0, 0), "LOCKBIT");
  EXPECT_EQ(ItemText(C(kIdLockFieldList), 0, 2), "No locks");

  // A flash write, then Program.
  PickTab(0);
  for (int i = 0; i < 200; ++i) App().state().flash.data()[i] = static_cast<std::uint8_t>(i * 3);
  Command(kIdEraseChip);
  Command(kIdWriteChip);
  EXPECT_EQ(NewestLog(), "Verified OK");
  onChip([](UpdiChip& c) { EXPECT_EQ(c.Flash()[199], static_cast<std::uint8_t>(199 * 3)); });
  for (int i = 0; i < 32; ++i) App().state().flash.data()[i] = static_cast<std::uint8_t>(0xB0 + i);
  Command(kMenuProgram);
  EXPECT_EQ(NewestLog().rfind("PASS sim:ATtiny1614 ATtiny1614 ", 0), 0u) << NewestLog();
  onChip([](UpdiChip& c) {
    EXPECT_EQ(c.Flash()[0], 0xB0);
    EXPECT_EQ(c.Flash()[31], 0xCF);
  });
  for (const Box& b : host_.boxes) ADD_FAILURE() << b.caption << ": " << b.text;
}

TEST_F(MainWindowTest, ExitAsksWhenIdleAndWaitsWhileBusy) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATmega328P");
  // Busy: the close box does nothing while the worker runs a slow blank check.
  ASSERT_NE(sim_, nullptr);
  sim_->LineFor("sim:ATmega328P")->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(800);
  });
  SendMessageA(Main(), WM_COMMAND, MAKEWPARAM(kIdBlankCheck, 0), 0);
  ASSERT_TRUE(App().state().jobs.IsBusy());
  for (int i = 0; i < 100 && !IsWindowVisible(C(kIdProgressBar)); ++i) {
    Sleep(10);
    Pump();
  }
  EXPECT_TRUE(IsWindowVisible(C(kIdProgressBar)));
  EXPECT_NE(GetWindowLongPtrA(C(kIdProgressBar), GWL_STYLE) & PBS_MARQUEE, 0);
  SendMessageA(Main(), WM_CLOSE, 0, 0);
  Pump();
  EXPECT_TRUE(host_.boxes.empty());
  ASSERT_FALSE(window_->destroyed());
  App().WaitIdleAndDrain();
  Pump();
  EXPECT_FALSE(IsWindowVisible(C(kIdProgressBar)));

  // Idle: "No" keeps the window, "Yes" closes it after the worker stopped.
  host_.boxes.clear();
  host_.yesNo = {false, true};
  SendMessageA(Main(), WM_CLOSE, 0, 0);
  Pump();
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].icon, BoxIcon::Question);
  EXPECT_EQ(host_.boxes[0].caption, "Exit ?");
  EXPECT_EQ(host_.boxes[0].text, "Are you sure you want to exit ?");
  EXPECT_FALSE(window_->destroyed());
  Command(kMenuExit);
  EXPECT_TRUE(window_->destroyed());
  EXPECT_FALSE(App().running());
}

// The selectors live in the toolbar but tell the main window: a key press in the list
// reaches the application as a selection change.
// Stop and Esc end a read (the buffer keeps what it held) and a write (the log says the
// chip holds a part of the image); Esc does nothing while nothing runs.
TEST_F(MainWindowTest, StopAndEscEndAReadAndAWrite) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATmega328P");
  ASSERT_NE(C(kIdStop), nullptr);
  EXPECT_FALSE(IsWindowEnabled(C(kIdStop)));
  const MSG esc{C(kIdFlashHexView), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
  EXPECT_FALSE(window_->PreTranslate(esc));
  auto logHas = [this](const std::string& text) {
    for (int row = 0; row < 5; ++row) {
      if (ItemText(C(kIdMessageLog), row) == text) return true;
    }
    return false;
  };
  auto waitForTransfer = [this] {
    for (int i = 0; i < 1000; ++i) {
      if (IsWindowVisible(C(kIdProgressBar)) &&
          SendMessageA(C(kIdProgressBar), PBM_GETPOS, 0, 0) > 0) {
        return true;
      }
      Sleep(10);
      Pump();
    }
    return false;
  };
  std::uint8_t* flash = App().state().flash.data();
  flash[0] = 0x12;  // the simulated chip is erased: a whole read would make it 0xFF
  sim_->LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = true; });
  SendMessageA(Main(), WM_COMMAND, MAKEWPARAM(kIdReadChip, 0), 0);
  ASSERT_TRUE(waitForTransfer());
  EXPECT_TRUE(IsWindowEnabled(C(kIdStop)));
  SendMessageA(C(kIdStop), BM_CLICK, 0, 0);
  App().WaitIdleAndDrain();
  Pump();
  EXPECT_FALSE(IsWindowEnabled(C(kIdStop)));
  EXPECT_TRUE(logHas("Stopped: the FLASH buffer keeps its old contents."));
  EXPECT_EQ(flash[0], 0x12);

  SendMessageA(Main(), WM_COMMAND, MAKEWPARAM(kIdWriteChip, 0), 0);
  ASSERT_TRUE(waitForTransfer());
  EXPECT_TRUE(window_->PreTranslate(esc));
  App().WaitIdleAndDrain();
  Pump();
  EXPECT_TRUE(logHas("Stopped: the chip holds only a part of the image; write it again."));

  sim_->LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { p.options().pace = false; });
  Command(kIdReadChip);
  EXPECT_EQ(NewestLog(), "FLASH Code read into buffer");
}

// The check mark of Chip > "Program again when the file changes", and each change of the
// file programming the chip again through the window's timer.
TEST_F(MainWindowTest, ProgramAgainWhenTheFileChangesTakesUpEachChange) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATmega328P");
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("bq-watch-" + std::to_string(GetCurrentProcessId()) + ".bin");
  auto build = [&file](std::size_t size, char fill) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << std::string(size, fill);
  };
  auto passes = [this] {
    int n = 0;
    for (int row = 0; row < 100; ++row) n += ItemText(C(kIdMessageLog), row).rfind("PASS ", 0) == 0;
    return n;
  };
  auto waitForPasses = [&](int wanted) {
    for (int i = 0; i < 1500 && passes() < wanted; ++i) {
      Sleep(10);
      Pump();
    }
    return passes();
  };
  build(3, '\x01');
  host_.openAnswers = {Utf8FromPath(file)};
  Command(kMenuLoad);
  Command(kMenuProgramWatch);
  EXPECT_NE(GetMenuState(window_->menu(), kMenuProgramWatch, MF_BYCOMMAND) & MF_CHECKED, 0u);
  build(4, '\x04');
  EXPECT_EQ(waitForPasses(1), 1);
  App().WaitIdleAndDrain();
  build(2, '\x08');
  EXPECT_EQ(waitForPasses(2), 2);
  App().WaitIdleAndDrain();
  Pump();
  EXPECT_EQ(App().state().flash.data()[0], 0x08);
  Command(kMenuProgramWatch);
  EXPECT_EQ(GetMenuState(window_->menu(), kMenuProgramWatch, MF_BYCOMMAND) & MF_CHECKED, 0u);
  std::error_code ec;
  std::filesystem::remove(file, ec);
}

TEST_F(MainWindowTest, ChipSelectorKeysChangeTheChip) {
  ASSERT_EQ(Start(), kExitOk);
  Pick(kIdChipSelector, "ATmega328P");
  const int before = App().selection().chipIndex();
  SendMessageA(C(kIdChipSelector), WM_KEYDOWN, VK_DOWN, 0);
  Pump();
  EXPECT_EQ(App().selection().chipIndex(), before + 1);
  EXPECT_EQ(TextOf(C(kIdChipName)), App().selection().ChipSelectorText());
  EXPECT_NE(TextOf(C(kIdChipName)), "ATmega328P");
}

TEST_F(MainWindowTest, SettingsCommandRunsTheSettingsDialog) {
  ASSERT_EQ(Start(), kExitOk);
  Command(kIdSettings);
  Command(kMenuSettings);
  EXPECT_EQ(host_.settingsDialogs, 2);

  // The dialog itself: the ports found; a connection test of the simulator shows its version.
  host_.realSettingsDialog = true;
  Command(kIdSettings);
  EXPECT_EQ(host_.settingsDialogs, 3);
  EXPECT_NE(std::find(host_.dialogPorts.begin(), host_.dialogPorts.end(), "sim"),
            host_.dialogPorts.end());
  EXPECT_EQ(host_.dialogHardware, "02.01");
  EXPECT_EQ(FindWindowA("#32770", "Settings"), nullptr);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].icon, BoxIcon::Information);
  EXPECT_EQ(host_.boxes[0].caption, "Info");
  EXPECT_EQ(host_.boxes[0].text, "Connection successfully...");
}

// STK500 version 2 chosen in the dialog: read and write go through its driver to the
// simulated programmer of that protocol, and the choice is stored.
TEST_F(MainWindowTest, AnStk500Version2ProgrammerChosenInTheSettingsReadsAndWrites) {
  ASSERT_EQ(Start(), kExitOk);
  host_.realSettingsDialog = true;
  host_.chooseProgrammer = "STK500 version 2";
  host_.choosePort = "sim:ATmega328P";
  Command(kIdSettings);
  EXPECT_EQ(host_.dialogResult, "Connection successfully...");
  EXPECT_NE(std::string(InfoFor(ProgrammerKind::Stk500v2).title).find(host_.dialogNote),
            std::string::npos);
  EXPECT_FALSE(host_.dialogNote.empty());
  EXPECT_EQ(App().state().settings.Programmer, "stk500v2");
  std::string stored;
  ASSERT_EQ(store_->Open(), SettingsStore::OpenResult::Existing);
  EXPECT_TRUE(store_->ReadString("Programmer", stored));
  store_->Close();
  EXPECT_EQ(stored, "stk500v2");

  Pick(kIdChipSelector, "ATmega328P");
  Pick(kIdModeSelector, "ISP");  // these programmers sit on the ISP cable
  SimChip* chip =
      sim_->LineFor("sim:ATmega328P")->With([](SimProgrammer& p) { return &p.chip(); });
  for (int i = 0; i < 64; ++i) App().state().flash.data()[i] = static_cast<std::uint8_t>(0x40 + i);
  Command(kIdEraseChip);
  Command(kIdWriteChip);
  EXPECT_EQ(NewestLog(), "Verified OK");
  EXPECT_EQ(chip->flash[0], 0x40);
  EXPECT_EQ(chip->flash[63], 0x7F);
  chip->flash[2] = 0x99;
  Command(kMenuClear);
  Command(kIdReadChip);
  EXPECT_EQ(NewestLog(), "FLASH Code read into buffer");
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0).substr(0, 20), "00000 : 40 41 99 43 ");
}

// A name outside the ANSI code page: Load and Save reach the file, and the log shows the
// name as it is.
TEST_F(MainWindowTest, AFileNameInAnyScriptLoadsSavesAndShowsInTheLog) {
  ASSERT_EQ(Start(), kExitOk);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("bq_win32gui_" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(folder);
  const std::string base = Utf8FromPath(folder) + "\\J\xC3\xBCrgen_\xE6\x97\xA5\xE6\x9C\xAC";
  const std::string source = base + ".hex";
  {
    MemoryBuffer image(kFlashBufferBytes);
    image.data()[0] = 0x5A;
    ASSERT_EQ(SaveImage(image, source, 0, 0xFF), SaveOutcome::Written);
  }
  host_.openAnswers.push_back(source);
  Command(kIdLoadBuffer);
  EXPECT_EQ(ItemText(C(kIdFlashHexView), 0).substr(8, 2), "5A");
  wchar_t text[260]{};
  LVITEMW item{};
  item.pszText = text;
  item.cchTextMax = 260;
  SendMessageW(C(kIdMessageLog), LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
  EXPECT_EQ(std::wstring(text), WideFromUtf8(source + " loaded into FLASH buffer"));

  host_.saveAnswers.push_back(base + ".bin");
  Command(kIdSaveBuffer);
  MemoryBuffer saved(kFlashBufferBytes);
  EXPECT_GT(LoadImageFile(saved, base + ".bin"), 0u);  // LoadImage is a macro of windows.h
  EXPECT_EQ(saved.data()[0], 0x5A);
  for (const Box& b : host_.boxes) ADD_FAILURE() << b.caption << ": " << b.text;
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

TEST_F(MainWindowTest, SimulateSelectsThePartAndTheSignatureQuestionDefaultsToNo) {
  ASSERT_EQ(Start(), kExitOk);
  EXPECT_EQ(TextOf(C(kIdChipSelector)), "ATmega328P");
  Pick(kIdChipSelector, "ATtiny85");
  host_.yesNo = {false};
  Command(kIdEraseChip);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_TRUE(host_.boxes[0].defaultNo);
  EXPECT_NE(host_.boxes[0].text.find("Continue ?"), std::string::npos);

  // The real box: its default button is No.
  LRESULT defaultId = 0;
  std::thread answer([&] {
    HWND box = nullptr;
    for (int i = 0; i < 500 && box == nullptr; ++i) {
      box = FindWindowA("#32770", "Warning");
      if (box == nullptr) Sleep(10);
    }
    if (box == nullptr) return;
    // The default button has the focus when the box opens; the box is then closed with it
    // (or with Yes when none has it, so that a wrong default fails instead of hanging).
    Sleep(200);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &gui) && gui.hwndFocus != nullptr) {
      defaultId = GetDlgCtrlID(gui.hwndFocus);
    }
    const WORD press = defaultId == IDNO ? IDNO : IDYES;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), 0);
  });
  DialogHost real;
  const bool yes = real.AskYesNoDefaultNo(Main(), BoxIcon::Warning, "Warning", "Continue ?");
  answer.join();
  EXPECT_EQ(LOWORD(defaultId), IDNO);
  EXPECT_FALSE(yes);
}

TEST_F(MainWindowTest, MissingPartListEndsTheStartWithoutAWindow) {
  EXPECT_EQ(Start(BQ_BINARY_DIR "/no-such-folder/PartList.cfg"), kExitStartFailed);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].icon, BoxIcon::Error);
  EXPECT_EQ(host_.boxes[0].caption, "Error");
  EXPECT_EQ(host_.boxes[0].text.rfind("PartList Load ERROR !!!\r\n\r\n", 0), 0u);
  EXPECT_EQ(FindWindowA("brindlequartz", nullptr), nullptr);
}

}  // namespace
}  // namespace bq::win32
