#include "app/qt/settings_window.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "ui/main_view.h"
#include "ui/operation_sequencing.h"

namespace bq::qt {

SettingsWindow::SettingsWindow(SettingsDialog& dialog, DialogHost& dialogs, QWidget* parent)
    : QDialog(parent), dialog_(dialog), dialogs_(dialogs) {
  setWindowTitle("Settings");
  setObjectName("d116");
  setModal(true);
  auto* layout = new QVBoxLayout(this);

  auto* connection = new QGroupBox("Connection", this);
  auto* grid = new QGridLayout(connection);
  // The kind of programmer on the port, and under it what it is ("Arduino as ISP").
  programmers_ = new QComboBox(connection);
  programmers_->setObjectName("c1008");
  programmerNote_ = new QLabel(connection);
  programmerNote_->setObjectName("c1009");
  programmerNote_->setWordWrap(true);
  ports_ = new QComboBox(connection);
  ports_->setObjectName("c1001");
  ports_->setMinimumWidth(160);
  // A port that is not listed (a pseudo-terminal, /dev/serial/by-id/...) can be typed in.
  ports_->setEditable(true);
  ports_->setInsertPolicy(QComboBox::NoInsert);
  test_ = new QPushButton("Connection Test", connection);
  test_->setObjectName("c1002");
  hardware_ = new QLineEdit(connection);
  hardware_->setObjectName("c1003");
  hardware_->setReadOnly(true);
  firmware_ = new QLineEdit(connection);
  firmware_->setObjectName("c1004");
  firmware_->setReadOnly(true);
  grid->addWidget(new QLabel("Programmer:", connection), 0, 0);
  grid->addWidget(programmers_, 0, 1, 1, 3);
  grid->addWidget(programmerNote_, 1, 1, 1, 3);
  grid->addWidget(new QLabel("COM Port:", connection), 2, 0);
  grid->addWidget(ports_, 2, 1);
  grid->addWidget(test_, 2, 3);
  grid->setColumnStretch(2, 1);
  grid->addWidget(new QLabel("Hardware Version:", connection), 3, 0);
  grid->addWidget(hardware_, 3, 1, 1, 3);
  grid->addWidget(new QLabel("Firmware Version:", connection), 4, 0);
  grid->addWidget(firmware_, 4, 1, 1, 3);
  result_ = new QLabel(connection);
  result_->setObjectName("c1007");
  result_->setWordWrap(true);
  grid->addWidget(result_, 5, 0, 1, 4);
  layout->addWidget(connection);

  auto* isp = new QGroupBox("ISP Clock", this);
  auto* ispGrid = new QGridLayout(isp);
  clocks_ = new QComboBox(isp);
  clocks_->setObjectName("c1005");
  clocks_->setMinimumWidth(160);
  ispGrid->addWidget(new QLabel("ISP Frequency:", isp), 0, 0);
  ispGrid->addWidget(clocks_, 0, 1);
  ispGrid->setColumnStretch(2, 1);
  auto* note = new QLabel("Note: The ISP frequency must be less than 1/4 of the target", isp);
  note->setWordWrap(true);
  ispGrid->addWidget(note, 1, 0, 1, 3);
  layout->addWidget(isp);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  save_ = new QPushButton("Save", this);
  save_->setObjectName("c1006");
  save_->setDefault(true);
  cancel_ = new QPushButton("Cancel", this);
  cancel_->setObjectName("c2");
  buttons->addWidget(save_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);

  connect(ports_, &QComboBox::activated, this, [this](int i) { dialog_.PickPort(i); });
  connect(clocks_, &QComboBox::activated, this, [this](int i) { dialog_.PickClock(i); });
  connect(programmers_, &QComboBox::activated, this, [this](int i) { dialog_.PickProgrammer(i); });
  connect(test_, &QPushButton::clicked, this, [this] {
    TakeTypedPort();
    dialog_.ConnectionTest();
  });
  connect(save_, &QPushButton::clicked, this, [this] {
    TakeTypedPort();
    dialog_.Save();
    accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &SettingsWindow::reject);
  dialog_.SetView(this);
  setFixedSize(sizeHint().expandedTo(QSize(440, 0)));
}

void SettingsWindow::TakeTypedPort() {
  dialog_.EnterPortName(ports_->currentText().toStdString());
}

void SettingsWindow::reject() {
  if (dialog_.result() == SettingsDialogResult::Open) dialog_.Cancel();
  QDialog::reject();
}

void SettingsWindow::ShowConnectionOk() {
  dialogs_.Message(this, BoxIcon::Information, kInfoCaption, kConnectionOkText);
}

void SettingsWindow::ShowPortOpenError(const std::string& name) {
  dialogs_.Message(this, BoxIcon::Error, kCaptionError, PortOpenErrorText(name));
}

void SettingsWindow::OnSettingsModelChanged() {
  const SettingsDialogModel& m = dialog_.model();
  auto fill = [](QComboBox* combo, const std::vector<std::string>& entries, int index) {
    const QSignalBlocker block(combo);
    combo->clear();
    for (const std::string& e : entries) combo->addItem(QString::fromStdString(e));
    combo->setCurrentIndex(index);
  };
  fill(ports_, m.ports, m.portIndex);
  fill(clocks_, m.clocks, m.clockIndex);
  fill(programmers_, m.programmers, m.programmerIndex);
  programmerNote_->setText(QString::fromStdString(m.programmerNote));
  hardware_->setText(QString::fromStdString(m.hardwareVersion));
  firmware_->setText(QString::fromStdString(m.firmwareVersion));
  result_->setText(QString::fromStdString(m.testResult));
}

}  // namespace bq::qt
