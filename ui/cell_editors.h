#pragma once
// The one cell editor the fuse and lock-bit lists may have open at a time: a choice list over
// an enumerator's value cell, or a text field over a byte's value cell. This is the state and
// the click rules; a front-end draws the cell and reports clicks, keys and choices.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ui/fuse_editor.h"

namespace bq {

enum class CellKind { None, Choice, Byte };

// Which list of an editor a click landed in.
enum class EditorList { Fields, Bytes };

class CellEditors {
 public:
  // True when a cell editor was open (it is closed now).
  bool CloseCellEditors();

  // A click on a list. column is the clicked column, or -1 for no cell. Returns true when the
  // click closed an open cell editor: the list then handles the click as usual and nothing
  // else happens. Otherwise a click on the value cell (column 2 of the field list, column 1
  // of the byte list) toggles a bit field, opens the choice list of an enumerator, or opens
  // the byte text field; any other click does nothing.
  bool Click(FuseEditor& editor, EditorList list, std::uint32_t row, int column);

  // The choice list reported a selection: the choice is applied and the list closes.
  void ChoiceMade(std::size_t choiceIndex);
  // Enter in the byte field: the text is applied and the field closes.
  void ByteTextEntered(const std::string& text);
  // Escape, or the byte field lost the focus: it closes without applying.
  void ByteCellAbandoned();

  CellKind open() const { return kind_; }
  const FuseEditor* editor() const { return editor_; }
  std::uint32_t row() const { return row_; }
  // While a cell editor is open over a list, that list does not paint over it.
  bool Covers(const FuseEditor& editor, EditorList list) const;
  // The text the byte field starts with, and the entry the choice list preselects.
  std::string InitialByteText() const;
  std::size_t InitialChoice() const;

 private:
  CellKind kind_ = CellKind::None;
  FuseEditor* editor_ = nullptr;
  std::uint32_t row_ = 0;
};

}  // namespace bq
