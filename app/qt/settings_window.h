#pragma once
// The settings dialog on Qt Widgets: programmer list, port list, "Connection Test" with the
// programmer's versions, ISP clock list, "Save" and "Cancel". It shows the SettingsDialog's model
// and reports the user's picks and buttons to it.

#include <QDialog>

#include "app/qt/dialog_host.h"
#include "ui/settings_dialog.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace bq::qt {

class SettingsWindow : public QDialog, public SettingsDialogView {
  Q_OBJECT

 public:
  SettingsWindow(SettingsDialog& dialog, DialogHost& dialogs, QWidget* parent);

  QComboBox* programmerList() const { return programmers_; }
  QLabel* programmerNote() const { return programmerNote_; }
  QComboBox* portList() const { return ports_; }
  QComboBox* clockList() const { return clocks_; }
  QLineEdit* hardwareVersion() const { return hardware_; }
  QLineEdit* firmwareVersion() const { return firmware_; }
  QPushButton* testButton() const { return test_; }
  QPushButton* saveButton() const { return save_; }
  QPushButton* cancelButton() const { return cancel_; }
  QLabel* testResult() const { return result_; }

  // SettingsDialogView.
  void ShowConnectionOk() override;
  void ShowPortOpenError(const std::string& name) override;
  void OnSettingsModelChanged() override;

 public slots:
  void reject() override;  // "Cancel", Esc and the close box

 private:
  // The text of the port box becomes the selected port (it may have been typed).
  void TakeTypedPort();

  SettingsDialog& dialog_;
  DialogHost& dialogs_;
  QComboBox* programmers_ = nullptr;
  QLabel* programmerNote_ = nullptr;
  QComboBox* ports_ = nullptr;
  QComboBox* clocks_ = nullptr;
  QLineEdit* hardware_ = nullptr;
  QLineEdit* firmware_ = nullptr;
  QLabel* result_ = nullptr;
  QPushButton* test_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace bq::qt
