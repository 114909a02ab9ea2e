#include "app/win32/dialog_host.h"

#include <commdlg.h>

#include <vector>

#include "app/win32/settings_window.h"
#include "core/utf8_path.h"

namespace bq::win32 {
namespace {

UINT IconFlags(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Error:
      return MB_ICONERROR;
    case BoxIcon::Warning:
      return MB_ICONEXCLAMATION;
    case BoxIcon::Question:
      return MB_ICONQUESTION;
    case BoxIcon::Information:
      return MB_ICONINFORMATION;
    case BoxIcon::None:
      break;
  }
  return 0;
}

// The wide dialogs, so that any file name can be chosen; the program gets it as UTF-8.
std::optional<std::string> RunFileDialog(HWND owner, const FileDialogRequest& request, bool save) {
  const std::wstring filter = WideFromUtf8(CommonDialogFilter(request));
  const std::wstring extension = WideFromUtf8(request.defaultExtension);
  const unsigned size = request.maxPathChars > 0 ? request.maxPathChars : 260;
  std::vector<wchar_t> name(size + 1, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = size;
  ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (request.fileMustExist) ofn.Flags |= OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
  if (request.confirmOverwrite) ofn.Flags |= OFN_OVERWRITEPROMPT;
  const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok || name[0] == L'\0') return std::nullopt;
  return Utf8FromWide(name.data());
}

}  // namespace

std::string CommonDialogFilter(const FileDialogRequest& request) {
  std::string out;
  for (const FileFilter& f : request.filters) {
    out += f.description;
    out.push_back('\0');
    out += f.patterns;
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

void DialogHost::Message(HWND owner, BoxIcon icon, const std::string& caption,
                         const std::string& text) {
  MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | IconFlags(icon));
}

bool DialogHost::AskYesNo(HWND owner, BoxIcon icon, const std::string& caption,
                          const std::string& text) {
  return MessageBoxA(owner, text.c_str(), caption.c_str(), MB_YESNO | IconFlags(icon)) == IDYES;
}

bool DialogHost::AskYesNoDefaultNo(HWND owner, BoxIcon icon, const std::string& caption,
                                   const std::string& text) {
  return MessageBoxA(owner, text.c_str(), caption.c_str(),
                     MB_YESNO | MB_DEFBUTTON2 | IconFlags(icon)) == IDYES;
}

std::optional<std::string> DialogHost::OpenFile(HWND owner, const FileDialogRequest& request) {
  return RunFileDialog(owner, request, false);
}

std::optional<std::string> DialogHost::SaveFile(HWND owner, const FileDialogRequest& request) {
  return RunFileDialog(owner, request, true);
}

void DialogHost::RunSettingsDialog(HWND owner, HINSTANCE instance, SettingsDialog& dialog) {
  RunSettingsWindow(owner, instance, dialog, *this);
}

}  // namespace bq::win32
