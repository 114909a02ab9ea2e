#include "ui/fuse_editor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/text.h"

namespace bq {

namespace {

int LowestSetBit(std::uint8_t mask) {
  if (mask == 0) return 0;
  int s = 0;
  while ((mask & (1u << s)) == 0) ++s;
  return s;
}

std::string Hex2(std::uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

}  // namespace

bool IsWarningField(const std::string& name) {
  return name == "RSTDISBL" || name == "SPIEN" || name == "JTAGEN" || name == "OCDEN" ||
         name == "DWEN";
}

unsigned long ParseByteText(const std::string& text) {
  // strtoul gives exactly the rule of the byte cell: base detection, stop at the first
  // character that does not fit, 0 without a number, the largest value on overflow.
  errno = 0;
  return std::strtoul(text.c_str(), nullptr, 0);
}

std::uint8_t FuseEditor::ByteValue(std::uint8_t targetByte) const {
  const ByteSlot* slot = bytes_.Slot(targetByte);
  return slot == nullptr ? 0 : slot->value;
}

bool FuseEditor::BytePresent(std::uint8_t targetByte) const {
  const ByteSlot* slot = bytes_.Slot(targetByte);
  return slot != nullptr && slot->present;
}

void FuseEditor::FieldsChanged() {
  if (view_ != nullptr) view_->OnFieldsChanged();
}

FuseByteSlots FuseEditor::DefaultBytes() const {
  FuseByteSlots slots = bytes_;
  auto set = [&slots](std::uint8_t target, std::uint8_t value, bool present) {
    *slots.Slot(target) = ByteSlot{present ? value : std::uint8_t{0}, present};
  };
  if (which_ == FuseEditorKind::Fuses) {
    const bool have = db_.selected();
    const PartRecord none;
    const PartRecord& part = have ? db_.SelectedPart() : none;
    set(kTargetHigh, part.defaultHigh, have && part.hasDefaultHigh);
    set(kTargetLow, part.defaultLow, have && part.hasDefaultLow);
    set(kTargetExtended, part.defaultExtended, have && part.hasDefaultExtended);
    slots.lock.present = false;
  } else {
    slots.high.present = slots.low.present = slots.extended.present = false;
    slots.lock = ByteSlot{0xFF, true};
  }
  return slots;
}

void FuseEditor::ResetEditor() {
  fields_.clear();
  if (which_ == FuseEditorKind::Fuses) {
    if (!db_.GetFuseBits(fields_)) fields_.clear();
  } else {
    if (!db_.GetLockBits(fields_)) fields_.clear();
  }
  bytes_ = DefaultBytes();
  FieldsChanged();
  RebuildByteList();
}

void FuseEditor::RebuildByteList() {
  byteRows_.clear();
  static constexpr struct {
    std::uint8_t target;
    const char* label;
  } kOrder[] = {{kTargetLow, "LOW"},
                {kTargetHigh, "HIGH"},
                {kTargetExtended, "EXTENDEND"},
                {kTargetLockBit, "LOCKBIT"}};
  std::uint32_t next = 0;
  for (const auto& b : kOrder) {
    if (!BytePresent(b.target)) continue;
    byteRows_[next++] = ByteRow{b.target, b.label, Hex2(ByteValue(b.target))};
  }
  if (view_ != nullptr) view_->OnBytesChanged();
}

void FuseEditor::BytesReadFromChip() {
  chipBytes_ = bytes_;
  chipBytesPart_ = db_.selected() ? db_.selectedName() : "";
  FieldsChanged();
  RebuildByteList();
}

FuseByteSlots FuseEditor::ChipBytesOrDefaults() const {
  if (!chipBytesPart_.empty() && db_.selected() && chipBytesPart_ == db_.selectedName()) {
    return chipBytes_;
  }
  return DefaultBytes();
}

std::uint8_t FuseEditor::FieldValue(std::uint32_t row) const {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return 0;
  const std::uint8_t mask = it->second.mask;
  return static_cast<std::uint8_t>((ByteValue(it->second.targetByte) & mask) >> LowestSetBit(mask));
}

int FuseEditor::FieldPicture(std::uint32_t row) const {
  if (fields_.empty()) return -1;
  const auto it = fields_.find(row);
  if (it == fields_.end()) return -1;
  if (it->second.isEnumerator) return 0;
  return (FieldValue(row) != 1 ? 1 : 0) + (IsWarningField(it->second.name) ? 2 : 0);
}

bool FuseEditor::FieldChecked(std::uint32_t row) const {
  return FieldValue(row) != 1;
}

std::string FuseEditor::CurrentChoiceText(std::uint32_t row) const {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return "";
  const std::uint8_t v = FieldValue(row);
  for (const auto& [number, choice] : it->second.choices) {
    if (choice.value == v) return choice.text;
  }
  return "";
}

std::size_t FuseEditor::ChoiceCellSelection(std::uint32_t row) const {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return 0;
  const std::uint8_t v = FieldValue(row);
  std::size_t index = 0;
  std::size_t selected = 0;
  for (const auto& [number, choice] : it->second.choices) {
    if (choice.value == v) selected = index;
    ++index;
  }
  return selected;
}

std::string FuseEditor::FieldDisplayText(std::uint32_t row) const {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return "";
  if (it->second.isEnumerator) return CurrentChoiceText(row);
  return FieldChecked(row) ? "[x]" : "[ ]";
}

void FuseEditor::ToggleField(std::uint32_t row) {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return;
  ByteSlot* slot = bytes_.Slot(it->second.targetByte);
  if (slot == nullptr) return;
  std::uint8_t* b = &slot->value;
  const std::uint8_t mask = it->second.mask;
  *b = (*b & mask) != 0 ? static_cast<std::uint8_t>(*b & ~mask)
                        : static_cast<std::uint8_t>(*b | mask);
  FieldsChanged();
  RebuildByteList();
}

void FuseEditor::ApplyChoice(std::uint32_t row, std::size_t choiceIndex) {
  const auto it = fields_.find(row);
  if (it == fields_.end() || choiceIndex >= it->second.choices.size()) return;
  auto choice = it->second.choices.begin();
  std::advance(choice, static_cast<std::ptrdiff_t>(choiceIndex));
  SetFieldValue(row, choice->second.value);
}

void FuseEditor::SetFieldValue(std::uint32_t row, std::uint32_t value) {
  const auto it = fields_.find(row);
  if (it == fields_.end()) return;
  ByteSlot* slot = bytes_.Slot(it->second.targetByte);
  if (slot == nullptr) return;
  std::uint8_t* b = &slot->value;
  const std::uint8_t mask = it->second.mask;
  // Bits of a value too wide for its field are dropped rather than written into the
  // neighbouring fields of the same byte.
  const std::uint32_t shifted = (value << LowestSetBit(mask)) & mask;
  *b = static_cast<std::uint8_t>(shifted | (*b & ~mask));
  FieldsChanged();
  RebuildByteList();
}

void FuseEditor::ApplyByteText(std::uint32_t byteRow, const std::string& text) {
  if (byteRows_.empty()) return;
  const auto it = byteRows_.find(byteRow);
  if (it == byteRows_.end()) return;
  ByteSlot* slot = bytes_.Slot(it->second.targetByte);
  if (slot == nullptr) return;
  std::uint8_t* b = &slot->value;
  *b = static_cast<std::uint8_t>(ParseByteText(text) & 0xFFu);
  FieldsChanged();
  RebuildByteList();
}

bool FuseEditor::SetByte(std::uint8_t targetByte, std::uint8_t value) {
  if (!BytePresent(targetByte)) return false;
  bytes_.Slot(targetByte)->value = value;
  FieldsChanged();
  RebuildByteList();
  return true;
}

int FuseEditor::FindField(const std::string& name) const {
  const std::string wanted = ToUpperAscii(name);
  for (const auto& [row, field] : fields_) {
    if (ToUpperAscii(field.name) == wanted) return static_cast<int>(row);
  }
  return -1;
}

}  // namespace bq
