#include "app/win32/main_window.h"

#include <windowsx.h>

#include <algorithm>
#include <iterator>

#include "core/utf8_path.h"
#include "platform/win32/win32_port_driver.h"
#include "res/resource_ids.h"
#include "sim/sim_port_driver.h"
#include "ui/main_window_layout.h"

namespace bq::win32 {

PortDriverFactory DesktopPortDrivers() {
  return [](const PartDatabase& parts) {
    return std::vector<std::shared_ptr<PortDriver>>{std::make_shared<Win32PortDriver>(),
                                                    std::make_shared<SimPortDriver>(&parts)};
  };
}

namespace {

constexpr int kEditorRowHeightPad = 0;
constexpr UINT_PTR kCellSubclass = 1;
constexpr UINT_PTR kListSubclass = 2;
constexpr UINT_PTR kTickTimer = 1;  // Application::Tick

COLORREF ToColorRef(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

HFONT MakeFont(const char* face, int height, int weight) {
  return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                     face);
}

HWND MakeChild(const char* cls, const char* text, DWORD style, DWORD exStyle, int x, int y,
               int w, int h, HWND parent, int id, HINSTANCE instance) {
  return CreateWindowExA(exStyle, cls, text, style, x, y, w, h, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

HIMAGELIST StripImageList(HINSTANCE instance, int bitmapId, int width, int height, int count) {
  HIMAGELIST list = ImageList_Create(width, height, ILC_COLOR32, count, 0);
  HBITMAP bitmap = static_cast<HBITMAP>(
      LoadImageA(instance, MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (list != nullptr && bitmap != nullptr) ImageList_Add(list, bitmap, nullptr);
  if (bitmap != nullptr) DeleteObject(bitmap);
  return list;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, SettingsStore& store, DialogHost& dialogs,
                       PortDriverFactory drivers, bool quitOnDestroy)
    : instance_(instance), store_(store), dialogs_(dialogs), quitOnDestroy_(quitOnDestroy) {
  // The simulated programmer the port drivers hold, for the rescue's moves of its chip.
  auto sim = std::make_shared<std::weak_ptr<SimPortDriver>>();
  PortDriverFactory wrapped = [factory = std::move(drivers), sim](const PartDatabase& parts) {
    auto list = factory ? factory(parts) : std::vector<std::shared_ptr<PortDriver>>{};
    for (auto& d : list) {
      if (auto s = std::dynamic_pointer_cast<SimPortDriver>(d)) *sim = s;
    }
    return list;
  };
  app_ = std::make_unique<Application>(*this, store_, std::move(wrapped));
  app_->SetSimulatedChipMover([sim](const std::string& port, ChipPlace place) {
    if (auto s = sim->lock(); s && ParseSimPortName(port)) {
      s->MoveChip(port, place == ChipPlace::Socket ? SimConnect::kSocket : SimConnect::kIsp);
    }
  });
}

MainWindow::~MainWindow() {
  // The worker stops before the windows it reports to go away.
  if (app_) app_->Shutdown();
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  app_.reset();
  for (HFONT f : {hexFont_, listFont_, choiceFont_}) {
    if (f != nullptr) DeleteObject(f);
  }
  for (HIMAGELIST l : {logIcons_, checkBoxes_, dropArrow_}) {
    if (l != nullptr) ImageList_Destroy(l);
  }
  if (menu_ != nullptr && !IsMenu(menu_)) menu_ = nullptr;
}

int MainWindow::Create(const StartOptions& options) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES |
                                           ICC_COOL_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);

  WNDCLASSEXA wc{};
  if (!GetClassInfoExA(instance_, kMainWindowClass, &wc)) {
    wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance_;
    wc.hIcon = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), 0));
    wc.hIconSm = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    if (!RegisterClassExA(&wc)) {
      dialogs_.Message(nullptr, BoxIcon::Error, kCaptionError, "Error at RegisterClassEx() !!!");
      return kExitStartFailed;
    }
  }
  menu_ = LoadMenuA(instance_, MAKEINTRESOURCEA(IDR_MAIN_MENU));
  hwnd_ = CreateWindowExA(WS_EX_WINDOWEDGE, kMainWindowClass, kMainWindowTitle,
                          WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                          CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr, menu_,
                          instance_, this);
  if (hwnd_ == nullptr) {
    dialogs_.Message(nullptr, BoxIcon::Error, kCaptionError, "Error at CreateWindowEx() !!!");
    return kExitStartFailed;
  }
  // The worker only posts a message; its events are delivered on this thread.
  HWND target = hwnd_;
  app_->SetWakeCallback([target] { PostMessageA(target, kMsgDrainEvents, 0, 0); });
  const int started = app_->Start(options);
  if (started != kExitOk) {
    app_->Shutdown();
    DestroyWindow(hwnd_);
    return started;
  }
  return kExitOk;
}

HWND MainWindow::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

HWND MainWindow::DialogOwner() const {
  return hwnd_ != nullptr && IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
}

// Window procedure: the object comes with WM_NCCREATE and is kept in the user data.
LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* self = static_cast<MainWindow*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      BuildChildren();
      SetTimer(hwnd_, kTickTimer, 500, nullptr);  // the watch of the Program command
      return 0;
    case WM_TIMER:
      if (wParam == kTickTimer && app_ && app_->running()) app_->Tick();
      return 0;
    case WM_CLOSE:
      // The default closing is never used: a confirmed exit destroys the window.
      if (app_ && app_->running()) {
        app_->ConfirmExit();
      } else {
        DestroyWindow(hwnd_);
      }
      return 0;
    case WM_DESTROY: {
      if (app_) app_->Shutdown();
      SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
      destroyed_ = true;
      hwnd_ = nullptr;
      if (quitOnDestroy_) PostQuitMessage(0);
      return 0;
    }
    case kMsgDrainEvents:
      if (app_) app_->Drain();
      return 0;
    case kMsgDestroyCell:
      DestroyWindow(reinterpret_cast<HWND>(wParam));
      return 0;
    case kMsgDestroyMain:
      DestroyWindow(hwnd_);
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (!app_->running()) return 0;
      if ((id == kIdChipSelector || id == kIdModeSelector) && code == CBN_SELCHANGE) {
        const int index =
            static_cast<int>(SendMessageA(Control(id), CB_GETCURSEL, 0, 0));
        if (id == kIdChipSelector) {
          app_->ChipSelectorChanged(index);
        } else {
          app_->ModeSelectorChanged(index);
        }
        return 0;
      }
      const bool button = id >= kIdClearBuffer && id <= kIdStop;
      const bool item = id >= kMenuClear && id <= kMenuRescue;
      if ((button || item) && (code == 0 || code == 1)) app_->Command(id);
      return 0;
    }
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_NOTIFYFORMAT:
      // The message log names files, which may hold any character: it asks for UTF-16 texts.
      if (lParam == NF_QUERY && GetDlgCtrlID(reinterpret_cast<HWND>(wParam)) == kIdMessageLog) {
        return NFR_UNICODE;
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd_, message, wParam, lParam);
}

void MainWindow::BuildToolbar() {
  struct Entry {
    int image;
    int id;
    bool separator;
  };
  const Entry entries[] = {{0, 500, false},  {1, 501, false},  {2, 502, false}, {0, 0, true},
                           {8, 503, false},  {9, 504, false},  {0, 1, true},    {13, 505, false},
                           {10, 506, false}, {12, 507, false}, {0, 3, true},    {0, 204, true},
                           {11, 509, false}, {0, 4, true},     {0, 205, true},  {0, 5, true},
                           {3, 510, false}};
  TBBUTTON buttons[std::size(entries)]{};
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    buttons[i].iBitmap = entries[i].separator ? 0 : entries[i].image;
    buttons[i].idCommand = entries[i].id;
    buttons[i].fsState = TBSTATE_ENABLED;
    buttons[i].fsStyle = entries[i].separator ? BTNS_SEP : BTNS_BUTTON;
  }
  toolbar_ = CreateToolbarEx(
      hwnd_, WS_CHILD | WS_VISIBLE | WS_BORDER | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT | TBSTYLE_LIST,
      kIdToolbar, TBI_COUNT, instance_, IDB_TOOLBAR, buttons, static_cast<int>(std::size(entries)),
      16, 16, 16, 16, sizeof(TBBUTTON));
  controls_[kIdToolbar] = toolbar_;
  for (int id : {kIdChipSelector, kIdModeSelector}) {
    TBBUTTONINFOA info{};
    info.cbSize = sizeof info;
    info.dwMask = TBIF_SIZE;
    info.cx = kSelectorWidth;
    SendMessageA(toolbar_, TB_SETBUTTONINFOA, static_cast<WPARAM>(id),
                 reinterpret_cast<LPARAM>(&info));
  }
  for (auto [index, id] : {std::pair{11, kIdChipSelector}, std::pair{14, kIdModeSelector}}) {
    RECT r{};
    SendMessageA(toolbar_, TB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r));
    HWND combo = MakeChild("COMBOBOX", "", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL |
                                               CBS_DROPDOWNLIST,
                           0, r.left, r.top, r.right - r.left, 300, hwnd_, id, instance_);
    SetParent(combo, toolbar_);
    SendMessageA(combo, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
    controls_[id] = combo;
  }
}

HWND MainWindow::MakeList(int id, DWORD style, DWORD exStyle, int x, int y, int w, int h,
                          HFONT font) {
  HWND list = MakeChild(WC_LISTVIEWA, "",
                        WS_CHILD | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL | LVS_NOCOLUMNHEADER |
                            LVS_OWNERDATA | style,
                        WS_EX_WINDOWEDGE, x, y, w, h, hwnd_, id, instance_);
  if (font != nullptr) SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  ListView_SetExtendedListViewStyle(list, exStyle);
  controls_[id] = list;
  return list;
}

void MainWindow::BuildChildren() {
  BuildToolbar();
  RECT toolbarRect{};
  GetClientRect(toolbar_, &toolbarRect);
  const int t = toolbarRect.bottom;
  RECT client{};
  GetClientRect(hwnd_, &client);

  // Chip information row and the progress bar.
  const auto guiFont = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
  auto label = [this, guiFont](const char* text, int x, int y, int w) {
    HWND l = MakeChild("STATIC", text, WS_CHILD | WS_VISIBLE, 0, x, y, w, 20, hwnd_, -1, instance_);
    SendMessageA(l, WM_SETFONT, guiFont, TRUE);
  };
  auto field = [this, guiFont](int id, int x, int y) {
    HWND edit = MakeChild("EDIT", "", WS_CHILD | WS_VISIBLE | ES_WANTRETURN, WS_EX_CLIENTEDGE, x,
                          y, 120, 20, hwnd_, id, instance_);
    SendMessageA(edit, WM_SETFONT, guiFont, TRUE);
    SendMessageA(edit, EM_SETREADONLY, TRUE, 0);
    controls_[id] = edit;
  };
  label("Chip", 15, t + 7, 65);
  label("Signature", 15, t + 30, 65);
  field(kIdChipName, 85, t + 5);
  field(kIdSignature, 85, t + 28);
  label("Flash Size", 235, t + 7, 100);
  label("EEPROM Size", 235, t + 30, 100);
  field(kIdFlashSize, 335, t + 5);
  field(kIdEepromSize, 335, t + 28);
  HWND progress = MakeChild(PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 0, 465, t + 28, 520, 20,
                            hwnd_, kIdProgressBar, instance_);
  ShowWindow(progress, SW_HIDE);
  controls_[kIdProgressBar] = progress;
  // Above the progress bar's left end; enabled while a chip command runs.
  HWND stop = MakeChild("BUTTON", "Stop", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON, 0,
                        465, t + 3, 75, 22, hwnd_, kIdStop, instance_);
  SendMessageA(stop, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  controls_[kIdStop] = stop;

  HWND status = MakeChild(STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP,
                          WS_EX_WINDOWEDGE, 0, 0, 0, 0, hwnd_, kIdStatusBar, instance_);
  controls_[kIdStatusBar] = status;
  RECT statusRect{};
  GetWindowRect(status, &statusRect);
  const int s = statusRect.bottom - statusRect.top;

  HWND tabs = MakeChild(WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE, WS_EX_CLIENTEDGE, 0, t + 50,
                        client.right, kTabControlHeight, hwnd_, kIdTabControl, instance_);
  SendMessageA(tabs, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  controls_[kIdTabControl] = tabs;
  for (int i = 0; i < kTabCount; ++i) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(kTabTexts[i]);
    SendMessageA(tabs, TCM_INSERTITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
  }
  SendMessageA(tabs, TCM_SETCURSEL, 0, 0);
  RECT tabItem{};
  SendMessageA(tabs, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&tabItem));
  const MainWindowLayout l =
      LayOutMainWindow(t, client.right, client.bottom, s, tabItem.bottom - tabItem.top);
  editorPage_ = l.page;

  listFont_ = MakeFont("Arial", 15, FW_NORMAL);
  hexFont_ = MakeFont("Lucida Console", 14, FW_BOLD);
  choiceFont_ = MakeFont("Arial", 14, FW_NORMAL);

  // Message log: newest first, an icon per kind.
  logIcons_ = ImageList_Create(16, 16, ILC_COLOR32, 4, 0);
  for (int id : {IDB_LOG_INFO, IDB_LOG_SUCCESS, IDB_LOG_WARNING, IDB_LOG_ERROR}) {
    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageA(instance_, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (bitmap != nullptr) {
      ImageList_Add(logIcons_, bitmap, nullptr);
      DeleteObject(bitmap);
    }
  }
  const LayoutRect& m = l.messageLog;
  HWND log = MakeList(kIdMessageLog, WS_VISIBLE, LVS_EX_FULLROWSELECT, m.x, m.y, m.width,
                      m.height, listFont_);
  ListView_SetImageList(log, logIcons_, LVSIL_SMALL);
  auto column = [](HWND list, int index, int width) {
    LVCOLUMNA c{};
    c.mask = LVCF_WIDTH;
    c.cx = width;
    SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&c));
  };
  column(log, 0, l.logColumn);

  // Hex views fill the page.
  const LayoutRect& p = l.page;
  for (int id : {kIdFlashHexView, kIdEepromHexView}) {
    HWND hex = MakeList(id, id == kIdFlashHexView ? WS_VISIBLE : 0, LVS_EX_FULLROWSELECT, p.x,
                        p.y, p.width, p.height, hexFont_);
    column(hex, 0, l.hexColumn);
  }

  // Fuse and lock-bit editors with their page buttons.
  checkBoxes_ = StripImageList(instance_, IDB_CHECK_BOXES, CBI_SIZE, CBI_SIZE, 6);
  dropArrow_ = StripImageList(instance_, IDB_DROP_ARROW, 16, 15, 1);
  const char* buttonTexts[] = {"Set Default", "Write", "Verify", "Read"};
  for (auto [fieldId, byteId, firstButton] :
       {std::tuple{kIdFuseFieldList, kIdFuseByteList, kIdFuseSetDefault},
        std::tuple{kIdLockFieldList, kIdLockByteList, kIdLockSetDefault}}) {
    HWND fields = MakeList(fieldId, WS_BORDER, LVS_EX_GRIDLINES, l.fieldList.x, l.fieldList.y,
                           l.fieldList.width, l.fieldList.height, listFont_);
    for (int i = 0; i < 3; ++i) column(fields, i, l.fieldColumns[static_cast<std::size_t>(i)]);
    HWND bytes = MakeList(byteId, WS_BORDER, LVS_EX_GRIDLINES, l.byteList.x, l.byteList.y,
                          l.byteList.width, l.byteList.height, listFont_);
    for (int i = 0; i < 2; ++i) column(bytes, i, l.byteColumns[static_cast<std::size_t>(i)]);
    for (HWND list : {fields, bytes}) {
      SetWindowSubclass(list, EditorListProc, kListSubclass, reinterpret_cast<DWORD_PTR>(this));
    }
    for (int i = 0; i < 4; ++i) {
      const LayoutRect& b = l.pageButtons[static_cast<std::size_t>(i)];
      HWND button = MakeChild("BUTTON", buttonTexts[i], WS_CHILD, WS_EX_CONTROLPARENT, b.x, b.y,
                              b.width, b.height, hwnd_, firstButton + i, instance_);
      SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                   TRUE);
      controls_[firstButton + i] = button;
    }
  }

  // Calibration list and its "Read" button.
  HWND calibration = MakeList(kIdCalibrationList, WS_BORDER, LVS_EX_GRIDLINES,
                              l.calibrationList.x, l.calibrationList.y, l.calibrationList.width,
                              l.calibrationList.height, listFont_);
  for (int i = 0; i < 2; ++i) {
    column(calibration, i, l.calibrationColumns[static_cast<std::size_t>(i)]);
  }
  const LayoutRect& b = l.pageButtons[3];
  HWND read = MakeChild("BUTTON", "Read", WS_CHILD, WS_EX_CONTROLPARENT, b.x, b.y, b.width,
                        b.height, hwnd_, kIdCalibrationRead, instance_);
  SendMessageA(read, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  controls_[kIdCalibrationRead] = read;
}

bool MainWindow::EditorOf(int id, FuseEditorKind& which, EditorList& list) {
  switch (id) {
    case kIdFuseFieldList:
      which = FuseEditorKind::Fuses;
      list = EditorList::Fields;
      return true;
    case kIdFuseByteList:
      which = FuseEditorKind::Fuses;
      list = EditorList::Bytes;
      return true;
    case kIdLockFieldList:
      which = FuseEditorKind::LockBits;
      list = EditorList::Fields;
      return true;
    case kIdLockByteList:
      which = FuseEditorKind::LockBits;
      list = EditorList::Bytes;
      return true;
    default:
      return false;
  }
}

// The text of a cell of one of the virtual lists; the image of a log row.
namespace {
struct CellContent {
  std::string text;
  int image = -1;
};
}  // namespace

LRESULT MainWindow::OnGetDispInfo(int id, LVITEMA& item) {
  if (!app_->running() && id != kIdMessageLog) return 0;
  const auto row = static_cast<std::uint32_t>(item.iItem);
  std::string text;
  int image = -1;
  FuseEditorKind which{};
  EditorList list{};
  if (id == kIdMessageLog) {
    const LogEntry entry = app_->state().log.Row(row);
    text = entry.text;
    image = static_cast<int>(entry.kind);
  } else if (id == kIdFlashHexView || id == kIdEepromHexView) {
    app_->hexView(id == kIdFlashHexView ? MEMORY_FLASH : MEMORY_EEPROM).RowText(row, text);
  } else if (id == kIdCalibrationList) {
    const CalibrationView& c = app_->state().calibration;
    const auto it = c.entries().find(row);
    if (it != c.entries().end()) text = item.iSubItem == 0 ? it->second.label : c.ValueText(row);
  } else if (EditorOf(id, which, list)) {
    const FuseEditor& e = app_->editor(which);
    if (list == EditorList::Fields) {
      const auto it = e.fieldRows().find(row);
      if (it != e.fieldRows().end()) {
        if (item.iSubItem == 0) text = it->second.name;
        if (item.iSubItem == 1) text = it->second.text;
        if (item.iSubItem == 2) text = e.FieldDisplayText(row);
      }
    } else {
      const auto it = e.byteRows().find(row);
      if (it != e.byteRows().end()) text = item.iSubItem == 0 ? it->second.label : it->second.valueText;
    }
  }
  if ((item.mask & LVIF_TEXT) != 0 && item.pszText != nullptr && item.cchTextMax > 0) {
    const std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
    std::copy_n(text.data(), n, item.pszText);
    item.pszText[n] = '\0';
  }
  if ((item.mask & LVIF_IMAGE) != 0) item.iImage = image;
  return 0;
}

LRESULT MainWindow::OnNotify(NMHDR* header) {
  if (header == nullptr || !app_) return 0;
  const int id = static_cast<int>(header->idFrom);
  switch (header->code) {
    case TCN_SELCHANGE:
      if (id == kIdTabControl && app_->running()) {
        const int index = static_cast<int>(SendMessageA(header->hwndFrom, TCM_GETCURSEL, 0, 0));
        if (index >= 0 && index < kTabCount) app_->SwitchTab(static_cast<MainTab>(index));
      }
      return 0;
    case TTN_GETDISPINFOA: {
      auto* info = reinterpret_cast<NMTTDISPINFOA*>(header);
      textScratch_ = app_->ToolbarTooltip(id);
      info->lpszText = textScratch_.data();
      info->hinst = nullptr;
      return 0;
    }
    case TTN_GETDISPINFOW: {
      auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
      const std::string tip = app_->ToolbarTooltip(id);
      wideScratch_.assign(tip.begin(), tip.end());
      info->lpszText = wideScratch_.data();
      info->hinst = nullptr;
      return 0;
    }
    case LVN_GETDISPINFOA:
      return OnGetDispInfo(id, reinterpret_cast<NMLVDISPINFOA*>(header)->item);
    case LVN_GETDISPINFOW: {
      // The texts are UTF-8: up to four bytes for each character the list has room for.
      LVITEMW& w = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
      std::string buffer(w.cchTextMax > 0 ? 4 * static_cast<std::size_t>(w.cchTextMax) : 1, '\0');
      LVITEMA a{};
      a.mask = w.mask;
      a.iItem = w.iItem;
      a.iSubItem = w.iSubItem;
      a.pszText = buffer.data();
      a.cchTextMax = static_cast<int>(buffer.size());
      OnGetDispInfo(id, a);
      if ((w.mask & LVIF_TEXT) != 0 && w.pszText != nullptr && w.cchTextMax > 0) {
        const std::wstring wide = WideFromUtf8(buffer.c_str());
        const std::size_t n =
            std::min<std::size_t>(wide.size(), static_cast<std::size_t>(w.cchTextMax - 1));
        std::copy_n(wide.data(), n, w.pszText);
        w.pszText[n] = L'\0';
      }
      if ((w.mask & LVIF_IMAGE) != 0) w.iImage = a.iImage;
      return 0;
    }
    case NM_CUSTOMDRAW:
      return OnCustomDraw(id, reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case NM_CLICK: {
      FuseEditorKind which{};
      EditorList list{};
      if (EditorOf(id, which, list)) {
        OnEditorClick(id, reinterpret_cast<NMITEMACTIVATE*>(header)->ptAction);
      }
      return 0;
    }
    default:
      return 0;
  }
}

LRESULT MainWindow::OnCustomDraw(int id, NMLVCUSTOMDRAW* draw) {
  FuseEditorKind which{};
  EditorList list{};
  const bool hex = id == kIdFlashHexView || id == kIdEepromHexView;
  const bool editor = EditorOf(id, which, list);
  if ((!hex && !editor) || !app_->running()) return CDRF_DODEFAULT;
  const DWORD stage = draw->nmcd.dwDrawStage;
  if (stage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (hex) {
    if (stage == CDDS_ITEMPREPAINT) {
      const MemoryKind kind = id == kIdFlashHexView ? MEMORY_FLASH : MEMORY_EEPROM;
      draw->clrText = ToColorRef(
          HexRowRgb(app_->HexRowColourOf(kind, static_cast<std::uint32_t>(draw->nmcd.dwItemSpec))));
      return CDRF_NEWFONT;
    }
    return CDRF_DODEFAULT;
  }
  if (stage == CDDS_ITEMPREPAINT) return CDRF_NOTIFYSUBITEMDRAW;
  if (stage == (CDDS_ITEMPREPAINT | CDDS_SUBITEM)) {
    DrawEditorCell(which, list, draw);
    return CDRF_SKIPDEFAULT;
  }
  return CDRF_SKIPDEFAULT;
}

void MainWindow::DrawEditorCell(FuseEditorKind which, EditorList list, NMLVCUSTOMDRAW* draw) {
  HWND view = draw->nmcd.hdr.hwndFrom;
  HDC dc = draw->nmcd.hdc;
  const int row = static_cast<int>(draw->nmcd.dwItemSpec);
  const int column = draw->iSubItem;
  RECT r{};
  r.top = column;
  r.left = column == 0 ? LVIR_LABEL : LVIR_BOUNDS;
  if (!SendMessageA(view, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&r))) {
    return;
  }
  if (column == 0) r.left = 0;
  FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
  if (app_->ListCoveredByCell(which, list)) return;
  const FuseEditor& e = app_->editor(which);
  const auto urow = static_cast<std::uint32_t>(row);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  std::string text;
  if (list == EditorList::Fields) {
    const auto it = e.fieldRows().find(urow);
    if (it == e.fieldRows().end()) return;
    if (column == 2) {
      if (it->second.isEnumerator) {
        text = e.CurrentChoiceText(urow);
        RECT t = r;
        t.left += 6;
        t.right -= 18;
        DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &t,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        ImageList_Draw(dropArrow_, 0, dc, r.right - 16, r.top + (r.bottom - r.top - 15) / 2,
                       ILD_NORMAL);
        return;
      }
      const int picture = e.FieldPicture(urow);
      if (picture >= 0 && picture < 4) {
        ImageList_Draw(checkBoxes_, picture, dc, r.left + 6,
                       r.top + (r.bottom - r.top - CBI_SIZE) / 2, ILD_NORMAL);
      }
      return;
    }
    text = column == 0 ? it->second.name : it->second.text;
  } else {
    const auto it = e.byteRows().find(urow);
    if (it == e.byteRows().end()) return;
    text = column == 0 ? it->second.label : it->second.valueText;
  }
  TextOutA(dc, r.left + 6, r.top + 1 + kEditorRowHeightPad, text.c_str(), static_cast<int>(text.size()));
}

void MainWindow::OnEditorClick(int id, POINT pt) {
  FuseEditorKind which{};
  EditorList list{};
  if (!EditorOf(id, which, list) || !app_->running()) return;
  LVHITTESTINFO hit{};
  hit.pt = pt;
  const int item = static_cast<int>(
      SendMessageA(Control(id), LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
  const bool onCell = item >= 0 && (hit.flags & LVHT_ONITEM) != 0;
  app_->EditorCellClicked(which, list, onCell ? static_cast<std::uint32_t>(hit.iItem) : 0,
                          onCell ? hit.iSubItem : -1);
}

// The editor lists pass their cell editor's notifications to the application.
LRESULT CALLBACK MainWindow::EditorListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<MainWindow*>(data);
  if (message == WM_COMMAND && self->cell_ != nullptr &&
      reinterpret_cast<HWND>(lParam) == self->cell_ && HIWORD(wParam) == CBN_SELCHANGE) {
    const LRESULT index = SendMessageA(self->cell_, CB_GETCURSEL, 0, 0);
    if (index >= 0) self->app_->ChoiceCellChosen(static_cast<std::size_t>(index));
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, EditorListProc, kListSubclass);
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

// The byte cell: Enter applies, Escape and focus loss abandon.
LRESULT CALLBACK MainWindow::CellProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<MainWindow*>(data);
  if (hwnd == self->cell_) {
    if (message == WM_CHAR && wParam == VK_RETURN) {
      char text[64]{};
      GetWindowTextA(hwnd, text, static_cast<int>(sizeof text));
      self->app_->ByteCellEntered(text);
      return 0;
    }
    if (message == WM_CHAR && wParam == VK_ESCAPE) {
      self->app_->ByteCellAbandoned();
      return 0;
    }
    if (message == WM_KILLFOCUS) {
      const LRESULT r = DefSubclassProc(hwnd, message, wParam, lParam);
      self->app_->ByteCellAbandoned();
      return r;
    }
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, CellProc, kCellSubclass);
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

// Message boxes.
void MainWindow::ShowError(const std::string& text) {
  dialogs_.Message(DialogOwner(), BoxIcon::Error, kCaptionError, text);
}
void MainWindow::ShowNotice(const std::string& text) {
  dialogs_.Message(DialogOwner(), BoxIcon::None, "", text);
}
bool MainWindow::AskWarningYesNo(const std::string& text) {
  return dialogs_.AskYesNo(DialogOwner(), BoxIcon::Warning, kCaptionWarning, text);
}
bool MainWindow::AskWarningYesNoDefaultNo(const std::string& text) {
  return dialogs_.AskYesNoDefaultNo(DialogOwner(), BoxIcon::Warning, kCaptionWarning, text);
}
bool MainWindow::AskExitYesNo(const std::string& text) {
  return dialogs_.AskYesNo(DialogOwner(), BoxIcon::Question, kCaptionExit, text);
}
void MainWindow::ShowInfo(const std::string& text) {
  dialogs_.Message(DialogOwner(), BoxIcon::Information, kCaptionInfo, text);
}

// The toolbar lists and the chip information.
namespace {
void FillCombo(HWND combo, const std::vector<std::string>& entries, int index) {
  if (combo == nullptr) return;
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& e : entries) {
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.c_str()));
  }
  SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
}  // namespace

void MainWindow::RefreshChipSelector() {
  FillCombo(Control(kIdChipSelector), app_->selection().chipEntries(), app_->selection().chipIndex());
}
void MainWindow::RefreshModeSelector() {
  FillCombo(Control(kIdModeSelector), app_->selection().modeEntries(), app_->selection().modeIndex());
}
void MainWindow::ShowChipInfo(const ChipInfoTexts& texts) {
  SetWindowTextA(Control(kIdChipName), texts.name.c_str());
  SetWindowTextA(Control(kIdSignature), texts.signature.c_str());
  SetWindowTextA(Control(kIdFlashSize), texts.flash.c_str());
  SetWindowTextA(Control(kIdEepromSize), texts.eeprom.c_str());
}

// Lists: the row count changes, the rows are read again when painted.
void MainWindow::SetRowCount(int id, std::size_t rows, bool keepScroll) {
  HWND list = Control(id);
  if (list == nullptr) return;
  SendMessageA(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(rows),
               keepScroll ? LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL : 0);
  InvalidateRect(list, nullptr, FALSE);
}
void MainWindow::RefreshLog() {
  SetRowCount(kIdMessageLog, app_->state().log.RowCount(), false);
}
void MainWindow::RefillHexView(MemoryKind kind) {
  SetRowCount(kind == MEMORY_EEPROM ? kIdEepromHexView : kIdFlashHexView,
              app_->hexView(kind).RowCount(), true);
}
void MainWindow::RedrawHexViewColours(MemoryKind kind) {
  InvalidateRect(Control(kind == MEMORY_EEPROM ? kIdEepromHexView : kIdFlashHexView), nullptr, FALSE);
}
void MainWindow::RefreshFieldList(FuseEditorKind editor) {
  const bool fuses = editor == FuseEditorKind::Fuses;
  const int id = fuses ? kIdFuseFieldList : kIdLockFieldList;
  const bool named = app_->editor(editor).IsNamed();
  const std::array<int, 2> columns = FieldNameColumns(named);
  HWND list = Control(id);
  if (list != nullptr && SendMessageA(list, LVM_GETCOLUMNWIDTH, 0, 0) != columns[0]) {
    SendMessageA(list, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(columns[0], 0));
    SendMessageA(list, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(columns[1], 0));
  }
  // The named bytes of a UPDI part take a taller byte list.
  HWND bytes = Control(fuses ? kIdFuseByteList : kIdLockByteList);
  if (list != nullptr && bytes != nullptr && named != editorNamed_[fuses ? 0 : 1]) {
    editorNamed_[fuses ? 0 : 1] = named;
    const EditorListRects r = EditorLists(editorPage_, named);
    MoveWindow(list, r.fields.x, r.fields.y, r.fields.width, r.fields.height, TRUE);
    MoveWindow(bytes, r.bytes.x, r.bytes.y, r.bytes.width, r.bytes.height, TRUE);
  }
  SetRowCount(id, app_->editor(editor).fieldRows().size(), false);
  // The value column ends at the client area's edge, left of the vertical scroll bar when
  // the rows need one: no horizontal scroll bar, and the choice arrows stay in sight.
  RECT client{};
  if (list != nullptr && GetClientRect(list, &client)) {
    const int value = client.right - columns[0] - columns[1];
    if (value > 0 && SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0) != value) {
      SendMessageA(list, LVM_SETCOLUMNWIDTH, 2, MAKELPARAM(value, 0));
    }
  }
}
void MainWindow::RefreshByteList(FuseEditorKind editor) {
  SetRowCount(editor == FuseEditorKind::Fuses ? kIdFuseByteList : kIdLockByteList,
              app_->editor(editor).byteRows().size(), false);
}
void MainWindow::RefreshCalibration() {
  SetRowCount(kIdCalibrationList, app_->state().calibration.entries().size(), false);
}

// The cell editor over a fuse or lock-bit list.
void MainWindow::OpenChoiceCell(FuseEditorKind editor, std::uint32_t row,
                                const std::vector<std::string>& choices, std::size_t selected) {
  CloseCellEditor();
  HWND list = Control(editor == FuseEditorKind::Fuses ? kIdFuseFieldList : kIdLockFieldList);
  RECT r{};
  r.top = 2;
  r.left = LVIR_BOUNDS;
  SendMessageA(list, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&r));
  HWND combo = MakeChild("COMBOBOX", "",
                         WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_VSCROLL | CBS_DROPDOWNLIST,
                         0, r.left, r.top - 3, r.right - r.left - 16, 150, list, 0, instance_);
  SendMessageA(combo, WM_SETFONT, reinterpret_cast<WPARAM>(choiceFont_), TRUE);
  for (const std::string& c : choices) {
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(c.c_str()));
  }
  SendMessageA(combo, CB_SETCURSEL, selected, 0);
  cell_ = combo;
  cellEditor_ = editor;
  SetFocus(combo);
  InvalidateRect(list, nullptr, FALSE);
}

void MainWindow::OpenByteCell(FuseEditorKind editor, std::uint32_t row, const std::string& text) {
  CloseCellEditor();
  HWND list = Control(editor == FuseEditorKind::Fuses ? kIdFuseByteList : kIdLockByteList);
  RECT r{};
  r.top = 1;
  r.left = LVIR_BOUNDS;
  SendMessageA(list, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&r));
  HWND edit = MakeChild("EDIT", text.c_str(), WS_CHILD | WS_VISIBLE | ES_WANTRETURN,
                        WS_EX_CLIENTEDGE, r.left, r.top - 1, r.right - r.left,
                        r.bottom - r.top + 1, list, 0, instance_);
  SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(listFont_), TRUE);
  cell_ = edit;
  cellEditor_ = editor;
  SetWindowSubclass(edit, CellProc, kCellSubclass, reinterpret_cast<DWORD_PTR>(this));
  SetFocus(edit);
  const auto end = static_cast<WPARAM>(text.size());
  SendMessageA(edit, EM_SETSEL, end, static_cast<LPARAM>(end));
  InvalidateRect(list, nullptr, FALSE);
}

void MainWindow::CloseCellEditor() {
  if (cell_ == nullptr) return;
  HWND cell = cell_;
  cell_ = nullptr;
  RemoveWindowSubclass(cell, CellProc, kCellSubclass);
  HWND list = GetParent(cell);
  ShowWindow(cell, SW_HIDE);
  // Destroyed once the message that closed it is handled (it may be its own).
  if (hwnd_ != nullptr) {
    PostMessageA(hwnd_, kMsgDestroyCell, reinterpret_cast<WPARAM>(cell), 0);
  } else {
    DestroyWindow(cell);
  }
  if (list != nullptr) InvalidateRect(list, nullptr, FALSE);
}

// The progress bar: determinate for transfers, a marquee for the blank check.
void MainWindow::ProgressSmooth() {
  HWND bar = Control(kIdProgressBar);
  SetWindowLongPtrA(bar, GWL_STYLE, GetWindowLongPtrA(bar, GWL_STYLE) & ~static_cast<LONG_PTR>(PBS_MARQUEE));
}
void MainWindow::ProgressMarquee() {
  HWND bar = Control(kIdProgressBar);
  SetWindowLongPtrA(bar, GWL_STYLE, GetWindowLongPtrA(bar, GWL_STYLE) | PBS_MARQUEE);
}
void MainWindow::ProgressRange(std::uint16_t maximum) {
  progressMaximum_ = maximum;
  SendMessageA(Control(kIdProgressBar), PBM_SETRANGE32, 0, maximum);
}
void MainWindow::ProgressPosition(std::uint32_t position) {
  SendMessageA(Control(kIdProgressBar), PBM_SETPOS,
               std::min<std::uint32_t>(position, progressMaximum_), 0);
}
void MainWindow::ProgressMarqueeStart() {
  SendMessageA(Control(kIdProgressBar), PBM_SETMARQUEE, TRUE, 15);
}
void MainWindow::ProgressMarqueeStop() {
  SendMessageA(Control(kIdProgressBar), PBM_SETMARQUEE, FALSE, 0);
}
void MainWindow::ProgressShow() {
  ShowWindow(Control(kIdProgressBar), SW_SHOW);
}
void MainWindow::ProgressHide() {
  ShowWindow(Control(kIdProgressBar), SW_HIDE);
}

void MainWindow::SetControlVisible(int controlId, bool visible) {
  if (HWND w = Control(controlId)) ShowWindow(w, visible ? SW_SHOW : SW_HIDE);
}
void MainWindow::EnableToolbarButton(int buttonId, bool enabled) {
  SendMessageA(toolbar_, TB_ENABLEBUTTON, static_cast<WPARAM>(buttonId), MAKELPARAM(enabled ? TRUE : FALSE, 0));
}
void MainWindow::EnableControl(int controlId, bool enabled, const std::string&) {
  // The toolbar's tooltips say why; a dialog-style button has none.
  if (HWND w = Control(controlId)) EnableWindow(w, enabled ? TRUE : FALSE);
}
void MainWindow::CheckMenuItem(int itemId, bool checked) {
  if (menu_ == nullptr) return;
  ::CheckMenuItem(menu_, static_cast<UINT>(itemId),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}
bool MainWindow::PreTranslate(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_ESCAPE || hwnd_ == nullptr || !app_) {
    return false;
  }
  if (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd)) return false;  // a dialog's own Esc
  return app_->EscapePressed();
}
void MainWindow::EnableMenuItem(int itemId, bool enabled) {
  if (menu_ == nullptr) return;
  ::EnableMenuItem(menu_, static_cast<UINT>(itemId), MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  if (hwnd_ != nullptr) DrawMenuBar(hwnd_);
}

std::optional<std::string> MainWindow::AskOpenFileName(const FileDialogRequest& request) {
  return dialogs_.OpenFile(DialogOwner(), request);
}
std::optional<std::string> MainWindow::AskSaveFileName(const FileDialogRequest& request) {
  return dialogs_.SaveFile(DialogOwner(), request);
}

void MainWindow::RunSettingsDialog(SettingsDialog& dialog) {
  dialogs_.RunSettingsDialog(hwnd_, instance_, dialog);
}

void MainWindow::CloseMainWindow() {
  // Destroyed once the message that confirmed the exit is handled.
  if (hwnd_ != nullptr) PostMessageA(hwnd_, kMsgDestroyMain, 0, 0);
}

}  // namespace bq::win32
