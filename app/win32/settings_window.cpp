#include "app/win32/settings_window.h"

#include <string>

#include "app/win32/dialog_host.h"
#include "res/resource_ids.h"
#include "ui/main_view.h"
#include "ui/operation_sequencing.h"

namespace bq::win32 {
namespace {

// The dialog window's messages, shown through the host.
class SettingsWindowView : public SettingsDialogView {
 public:
  SettingsWindowView(SettingsDialog& dialog, DialogHost& host) : dialog_(dialog), host_(host) {}
  void Attach(HWND window) { window_ = window; }
  SettingsDialog& dialog() { return dialog_; }

  void ShowConnectionOk() override {
    host_.Message(window_, BoxIcon::Information, kInfoCaption, kConnectionOkText);
  }
  void ShowPortOpenError(const std::string& name) override {
    host_.Message(window_, BoxIcon::Error, kCaptionError, PortOpenErrorText(name));
  }
  void OnSettingsModelChanged() override {
    if (window_ != nullptr) ShowSettingsModel(window_, dialog_.model());
  }

 private:
  SettingsDialog& dialog_;
  DialogHost& host_;
  HWND window_ = nullptr;
};

void FillCombo(HWND combo, const std::vector<std::string>& entries, int index) {
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& e : entries) {
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.c_str()));
  }
  SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

// The text of the port box becomes the selected port (it may have been typed).
void TakeTypedPort(HWND window, SettingsDialog& dialog) {
  char text[MAX_PATH] = {};
  GetDlgItemTextA(window, IDC_PORT_LIST, text, sizeof text);
  dialog.EnterPortName(text);
}

INT_PTR CALLBACK SettingsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* view = reinterpret_cast<SettingsWindowView*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_INITDIALOG:
      view = reinterpret_cast<SettingsWindowView*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
      view->Attach(window);
      view->dialog().SetView(view);
      view->dialog().Open();
      ShowSettingsModel(window, view->dialog().model());
      return TRUE;
    case WM_COMMAND: {
      if (view == nullptr) return FALSE;
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (id == IDC_PROGRAMMER_LIST && code == CBN_SELCHANGE) {
        view->dialog().PickProgrammer(
            static_cast<int>(SendDlgItemMessageA(window, id, CB_GETCURSEL, 0, 0)));
      } else if (id == IDC_PORT_LIST && code == CBN_SELCHANGE) {
        view->dialog().PickPort(static_cast<int>(SendDlgItemMessageA(window, id, CB_GETCURSEL, 0, 0)));
      } else if (id == IDC_ISP_CLOCK_LIST && code == CBN_SELCHANGE) {
        view->dialog().PickClock(static_cast<int>(SendDlgItemMessageA(window, id, CB_GETCURSEL, 0, 0)));
      } else if (id == IDC_CONNECTION_TEST && code == BN_CLICKED) {
        TakeTypedPort(window, view->dialog());
        view->dialog().ConnectionTest();
      } else if (id == IDC_SAVE && code == BN_CLICKED) {
        TakeTypedPort(window, view->dialog());
        view->dialog().Save();
        EndDialog(window, IDC_SAVE);
      } else if (id == IDCANCEL) {
        view->dialog().Cancel();
        EndDialog(window, IDCANCEL);
      } else {
        return FALSE;
      }
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

void ShowSettingsModel(HWND dialogWindow, const SettingsDialogModel& model) {
  FillCombo(GetDlgItem(dialogWindow, IDC_PROGRAMMER_LIST), model.programmers,
            model.programmerIndex);
  SetDlgItemTextA(dialogWindow, IDC_PROGRAMMER_NOTE, model.programmerNote.c_str());
  FillCombo(GetDlgItem(dialogWindow, IDC_PORT_LIST), model.ports, model.portIndex);
  FillCombo(GetDlgItem(dialogWindow, IDC_ISP_CLOCK_LIST), model.clocks, model.clockIndex);
  SetDlgItemTextA(dialogWindow, IDC_HARDWARE_VERSION, model.hardwareVersion.c_str());
  SetDlgItemTextA(dialogWindow, IDC_FIRMWARE_VERSION, model.firmwareVersion.c_str());
  SetDlgItemTextA(dialogWindow, IDC_CONNECTION_RESULT, model.testResult.c_str());
}

void RunSettingsWindow(HWND owner, HINSTANCE instance, SettingsDialog& dialog, DialogHost& host) {
  SettingsWindowView view(dialog, host);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), owner, SettingsProc,
                  reinterpret_cast<LPARAM>(&view));
  dialog.SetView(nullptr);
}

}  // namespace bq::win32
