#include "app/win32/screenshots.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <vector>

#include "app/win32/main_window.h"
#include "core/utf8_path.h"
#include "res/resource_ids.h"

namespace bq::win32 {
namespace {

void PumpFor(DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

// The window's rectangle on the screen as a 24-bit bottom-up BMP file.
bool SaveWindowBitmap(HWND window, const std::string& path) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr && bits != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    // From the screen: the window is shown on top (PrintWindow leaves the children out).
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    SelectObject(memory, old);
    const std::uint32_t stride = (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u;
    const std::uint32_t size = stride * static_cast<std::uint32_t>(h);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + size;
    std::ofstream out(PathFromUtf8(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), size);
    ok = static_cast<bool>(out);
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

// The settings dialog runs modally: a timer of the main window finds it, shows the
// STK500 version 2 programmer in its list, takes the picture and cancels it.
struct SettingsShot {
  std::string path;
  bool ok = false;
};
SettingsShot* settingsShot = nullptr;

void CALLBACK ShootSettings(HWND owner, UINT, UINT_PTR id, DWORD) {
  HWND dialog = FindWindowA("#32770", "Settings");
  if (dialog == nullptr || settingsShot == nullptr) return;
  KillTimer(owner, id);
  HWND list = GetDlgItem(dialog, IDC_PROGRAMMER_LIST);
  const LRESULT v2 = SendMessageA(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                  reinterpret_cast<LPARAM>("STK500 version 2"));
  if (v2 >= 0) {
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(v2), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PROGRAMMER_LIST, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
  }
  ShowWindow(dialog, SW_SHOW);
  BringWindowToTop(dialog);
  RedrawWindow(dialog, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  PumpFor(600);
  settingsShot->ok = SaveWindowBitmap(dialog, settingsShot->path);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

}  // namespace

bool SaveScreenshots(MainWindow& window, const std::string& dir) {
  CreateDirectoryW(WideFromUtf8(dir).c_str(), nullptr);
  HWND main = window.hwnd();
  HWND tabs = window.Control(kIdTabControl);
  // The chip identified and its fuses, lock bits, calibration bytes and flash read, so the
  // pages show content; what the programmer cannot do is left out, as its greyed button is.
  for (int id : {kIdIdentify, kIdFuseRead, kIdLockRead, kIdCalibrationRead, kIdReadChip}) {
    if (!window.app().CommandAvailable(id)) continue;
    window.app().Command(id);
    window.app().WaitIdleAndDrain();
    PumpFor(100);
  }
  bool ok = true;
  for (int t = 0; t < kTabCount; ++t) {
    SendMessageA(tabs, TCM_SETCURSEL, static_cast<WPARAM>(t), 0);
    window.app().SwitchTab(static_cast<MainTab>(t));
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpFor(400);
    std::string name = kTabTexts[t];
    for (char& c : name) c = c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ok = SaveWindowBitmap(main, dir + "/win32-tab-" + std::to_string(t + 1) + "-" + name + ".bmp") && ok;
  }
  SendMessageA(tabs, TCM_SETCURSEL, 0, 0);
  window.app().SwitchTab(MainTab::Flash);
  SettingsShot shot{dir + "/win32-settings.bmp"};
  settingsShot = &shot;
  SetTimer(main, 1, 1000, ShootSettings);
  window.app().Command(kIdSettings);
  KillTimer(main, 1);
  settingsShot = nullptr;
  return ok && shot.ok;
}

}  // namespace bq::win32
