#include "app/qt/dialog_host.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace bq::qt {
namespace {

QMessageBox::Icon ToQt(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Error:
      return QMessageBox::Critical;
    case BoxIcon::Warning:
      return QMessageBox::Warning;
    case BoxIcon::Question:
      return QMessageBox::Question;
    case BoxIcon::Information:
      return QMessageBox::Information;
    case BoxIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

std::optional<std::string> RunFileDialog(QWidget* parent, const FileDialogRequest& request,
                                         bool save) {
  QFileDialog dialog(parent, save ? QObject::tr("Save As") : QObject::tr("Open"));
  QStringList filters;
  for (const FileFilter& f : request.filters) filters << QtNameFilter(f);
  dialog.setNameFilters(filters);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (!request.defaultExtension.empty()) {
    dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  }
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const std::string path = dialog.selectedFiles().front().toStdString();
  if (path.size() >= request.maxPathChars) return std::nullopt;
  return path;
}

}  // namespace

QString QtNameFilter(const FileFilter& filter) {
  QStringList patterns = QString::fromStdString(filter.patterns).split(';', Qt::SkipEmptyParts);
  for (QString& p : patterns) {
    p = p.trimmed();
    if (p == "*.*") p = "*";
  }
  const QString description = QString::fromStdString(filter.description);
  const QString tail = "(" + patterns.join(' ') + ")";
  if (description.endsWith(tail)) return description;
  return description + " " + tail;
}

void DialogHost::Message(QWidget* parent, BoxIcon icon, const std::string& caption,
                         const std::string& text) {
  QMessageBox box(ToQt(icon), QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, parent);
  box.exec();
}

namespace {
bool AskYesNoBox(QWidget* parent, QMessageBox::Icon icon, const std::string& caption,
                 const std::string& text, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(defaultButton);
  return box.exec() == QMessageBox::Yes;
}
}  // namespace

bool DialogHost::AskYesNo(QWidget* parent, BoxIcon icon, const std::string& caption,
                          const std::string& text) {
  return AskYesNoBox(parent, ToQt(icon), caption, text, QMessageBox::Yes);
}

bool DialogHost::AskYesNoDefaultNo(QWidget* parent, BoxIcon icon, const std::string& caption,
                                   const std::string& text) {
  return AskYesNoBox(parent, ToQt(icon), caption, text, QMessageBox::No);
}

std::optional<std::string> DialogHost::OpenFile(QWidget* parent, const FileDialogRequest& request) {
  return RunFileDialog(parent, request, false);
}

std::optional<std::string> DialogHost::SaveFile(QWidget* parent, const FileDialogRequest& request) {
  return RunFileDialog(parent, request, true);
}

}  // namespace bq::qt
