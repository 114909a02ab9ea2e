#include "ui/cell_editors.h"

namespace bq {

bool CellEditors::CloseCellEditors() {
  const bool wasOpen = kind_ != CellKind::None;
  kind_ = CellKind::None;
  editor_ = nullptr;
  row_ = 0;
  return wasOpen;
}

bool CellEditors::Click(FuseEditor& editor, EditorList list, std::uint32_t row, int column) {
  if (CloseCellEditors()) return true;
  if (list == EditorList::Fields) {
    if (column != 2) return false;
    const auto it = editor.fieldRows().find(row);
    if (it == editor.fieldRows().end()) return false;
    if (!it->second.isEnumerator) {
      editor.ToggleField(row);
      return false;
    }
    kind_ = CellKind::Choice;
  } else {
    if (column != 1 || editor.byteRows().count(row) == 0) return false;
    kind_ = CellKind::Byte;
  }
  editor_ = &editor;
  row_ = row;
  return false;
}

void CellEditors::ChoiceMade(std::size_t choiceIndex) {
  if (kind_ != CellKind::Choice) return;
  FuseEditor* editor = editor_;
  const std::uint32_t row = row_;
  CloseCellEditors();
  editor->ApplyChoice(row, choiceIndex);
}

void CellEditors::ByteTextEntered(const std::string& text) {
  if (kind_ != CellKind::Byte) return;
  FuseEditor* editor = editor_;
  const std::uint32_t row = row_;
  CloseCellEditors();
  editor->ApplyByteText(row, text);
}

void CellEditors::ByteCellAbandoned() {
  if (kind_ == CellKind::Byte) CloseCellEditors();
}

bool CellEditors::Covers(const FuseEditor& editor, EditorList list) const {
  if (editor_ != &editor) return false;
  return (kind_ == CellKind::Choice && list == EditorList::Fields) ||
         (kind_ == CellKind::Byte && list == EditorList::Bytes);
}

std::string CellEditors::InitialByteText() const {
  if (kind_ != CellKind::Byte) return "";
  const auto it = editor_->byteRows().find(row_);
  return it == editor_->byteRows().end() ? std::string() : it->second.valueText;
}

std::size_t CellEditors::InitialChoice() const {
  if (kind_ != CellKind::Choice) return 0;
  return editor_->ChoiceCellSelection(row_);
}

}  // namespace bq
