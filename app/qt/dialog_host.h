#pragma once
// Every modal question the desktop program asks: message boxes, the open and save dialogs,
// and the settings dialog. The program uses the Qt dialogs; tests substitute answers.

#include <QDialog>
#include <QWidget>
#include <optional>
#include <string>

#include "ui/main_view.h"

namespace bq::qt {

enum class BoxIcon { None, Error, Warning, Question, Information };

class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // An OK box.
  virtual void Message(QWidget* parent, BoxIcon icon, const std::string& caption,
                       const std::string& text);
  // Yes and No; true for Yes.
  virtual bool AskYesNo(QWidget* parent, BoxIcon icon, const std::string& caption,
                        const std::string& text);
  // Yes and No with No as the default button; true for Yes.
  virtual bool AskYesNoDefaultNo(QWidget* parent, BoxIcon icon, const std::string& caption,
                                 const std::string& text);
  virtual std::optional<std::string> OpenFile(QWidget* parent, const FileDialogRequest& request);
  virtual std::optional<std::string> SaveFile(QWidget* parent, const FileDialogRequest& request);
  // Runs a modal dialog until it is closed.
  virtual void RunDialog(QDialog& dialog) { dialog.exec(); }
};

// "Binary (*.bin)" as a Qt name filter: the description, and the patterns in parentheses
// unless the description already ends with them. "*.*" is "*" here (names without a dot).
QString QtNameFilter(const FileFilter& filter);

}  // namespace bq::qt
