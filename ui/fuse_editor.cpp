#include "ui/fuse_editor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/text.h"
#include "session/named_fuses.h"

namespace bq {

namespace {

int LowestSetBit(std::uint8_t mask) {
  if (mask == 0) return 0;
  int s = 0;
  while ((mask & (1u << s)) == 0) ++s;
  return s;
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
  if (named_) return targetByte < namedBytes_.size() ? namedBytes_[targetByte] : 0;
  const ByteSlot* slot = bytes_.Slot(targetByte);
  return slot == nullptr ? 0 : slot->value;
}

bool FuseEditor::BytePresent(std::uint8_t targetByte) const {
  if (named_) {
    const UpdiLayout* layout = NamedLayout();
    if (layout == nullptr) return false;
    for (const NamedFuseByte& b : layout->fuses) {
      if (b.offset == targetByte) return targetByte < namedBytes_.size();
    }
    return false;
  }
  const ByteSlot* slot = bytes_.Slot(targetByte);
  return slot != nullptr && slot->present;
}

std::uint8_t* FuseEditor::ByteRef(std::uint8_t targetByte) {
  if (named_) {
    if (!BytePresent(targetByte)) return nullptr;
    namedKnown_[targetByte] = true;  // it is about to be given a value
    return &namedBytes_[targetByte];
  }
  ByteSlot* slot = bytes_.Slot(targetByte);
  return slot == nullptr ? nullptr : &slot->value;
}

const UpdiLayout* FuseEditor::NamedLayout() const {
  if (!named_ || !db_.selected()) return nullptr;
  return &db_.SelectedPart().updi;
}

std::vector<NamedFuseValue> FuseEditor::NamedValues() const {
  const UpdiLayout* layout = NamedLayout();
  if (layout == nullptr) return {};
  std::vector<NamedFuseValue> values;
  for (const NamedFuseValue& v : NamedFuseValues(*layout, namedBytes_)) {
    if (v.offset < namedKnown_.size() && namedKnown_[v.offset]) values.push_back(v);
  }
  return values;
}

std::vector<NamedFuseValue> FuseEditor::ChipNamedValuesOrDefaults() const {
  const UpdiLayout* layout = NamedLayout();
  if (layout == nullptr) return {};
  if (!chipBytesPart_.empty() && chipBytesPart_ == db_.selectedName()) {
    return NamedFuseValues(*layout, namedChipBytes_);
  }
  return NamedFuseValues(*layout, DefaultNamedFuses(*layout, namedBytes_));
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
    // On a UPDI part every lock byte but one value locks the chip: the default is that value,
    // so a Write of the defaults leaves the chip open. An AVR Dx keeps a 4-byte key instead,
    // which no lock byte stands for.
    if (db_.selected() && db_.SelectedPart().IsUpdi()) {
      const UpdiLayout& layout = db_.SelectedPart().updi;
      slots.lock = ByteSlot{static_cast<std::uint8_t>(layout.lockOpenValue), layout.lockSize == 1};
    }
  }
  return slots;
}

void FuseEditor::ResetNamed() {
  const UpdiLayout& layout = db_.SelectedPart().updi;
  pinFieldRow_.clear();
  std::uint32_t row = 0;
  for (const NamedFuseByte& byte : layout.fuses) {
    for (BitFieldDesc field : byte.fields) {
      field.name = byte.name + "." + field.name;
      field.targetByte = byte.offset;
      if (layout.pinShared && ToUpperAscii(byte.name) == ToUpperAscii(layout.pinFuse) &&
          ToUpperAscii(field.name) == ToUpperAscii(layout.pinFuse + "." + layout.pinField)) {
        pinFieldRow_ = field.name;
      }
      fields_[row++] = std::move(field);
    }
  }
  // Set Default keeps what the editor shows of a byte without a factory value.
  namedBytes_ = DefaultNamedFuses(layout, namedBytes_);
  namedKnown_.resize(namedBytes_.size(), false);
  for (const NamedFuseByte& byte : layout.fuses) {
    if (byte.hasDefault) namedKnown_[byte.offset] = true;
  }
  bytes_ = FuseByteSlots{};
  bytes_.low.present = bytes_.high.present = bytes_.extended.present = bytes_.lock.present = false;
  FieldsChanged();
  RebuildByteList();
}

void AddUpdiLockField(const PartRecord& part, BitFieldMap& fields) {
  if (!part.IsUpdi() || part.updi.lockSize != 1) return;
  BitFieldDesc lock;
  lock.name = "LOCKBIT";
  lock.text = "Lock Bits";
  lock.mask = 0xFF;
  lock.isEnumerator = true;
  lock.targetByte = kTargetLockBit;
  lock.choices[0] = {static_cast<std::uint8_t>(part.updi.lockOpenValue), "No locks", "NOLOCK"};
  lock.choices[1] = {kUpdiLockedByte, "Read and write lock", "RWLOCK"};
  fields[0] = std::move(lock);
}

void FuseEditor::ResetEditor() {
  fields_.clear();
  named_ = which_ == FuseEditorKind::Fuses && db_.selected() && db_.SelectedPart().IsUpdi();
  if (named_) {
    if (namedPart_ != db_.selectedName()) {
      namedBytes_.clear();
      namedKnown_.clear();
    }
    namedPart_ = db_.selectedName();
    ResetNamed();
    return;
  }
  namedBytes_.clear();
  namedKnown_.clear();
  namedPart_.clear();
  pinFieldRow_.clear();
  if (which_ == FuseEditorKind::Fuses) {
    if (!db_.GetFuseBits(fields_)) fields_.clear();
  } else {
    if (!db_.GetLockBits(fields_)) fields_.clear();
    if (fields_.empty() && db_.selected()) AddUpdiLockField(db_.SelectedPart(), fields_);
  }
  bytes_ = DefaultBytes();
  FieldsChanged();
  RebuildByteList();
}

void FuseEditor::RebuildByteList() {
  byteRows_.clear();
  if (const UpdiLayout* layout = NamedLayout()) {
    std::uint32_t row = 0;
    for (const NamedFuseByte& b : layout->fuses) {
      if (!BytePresent(b.offset)) continue;
      byteRows_[row++] = ByteRow{b.offset, b.name, Hex2(ByteValue(b.offset))};
    }
    if (view_ != nullptr) view_->OnBytesChanged();
    return;
  }
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
  namedChipBytes_ = namedBytes_;
  namedKnown_.assign(namedBytes_.size(), true);
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
  const bool warning = named_ ? it->second.name == pinFieldRow_ : IsWarningField(it->second.name);
  return (FieldChecked(row) ? 1 : 0) + (warning ? 2 : 0);
}

bool FuseEditor::FieldChecked(std::uint32_t row) const {
  // A classic fuse bit is programmed (on) at 0; a UPDI part's fuse bit turns its feature on at 1.
  return named_ ? FieldValue(row) == 1 : FieldValue(row) != 1;
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
  std::uint8_t* b = ByteRef(it->second.targetByte);
  if (b == nullptr) return;
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
  std::uint8_t* b = ByteRef(it->second.targetByte);
  if (b == nullptr) return;
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
  std::uint8_t* b = ByteRef(it->second.targetByte);
  if (b == nullptr) return;
  *b = static_cast<std::uint8_t>(ParseByteText(text) & 0xFFu);
  FieldsChanged();
  RebuildByteList();
}

bool FuseEditor::SetNamedByte(std::uint8_t offset, std::uint8_t value) {
  std::uint8_t* b = named_ && BytePresent(offset) ? ByteRef(offset) : nullptr;
  if (b == nullptr) return false;
  *b = value;
  FieldsChanged();
  RebuildByteList();
  return true;
}

bool FuseEditor::SetByte(std::uint8_t targetByte, std::uint8_t value) {
  // The classic bytes' codes are no offsets of named fuse bytes.
  std::uint8_t* b = !named_ && BytePresent(targetByte) ? ByteRef(targetByte) : nullptr;
  if (b == nullptr) return false;
  *b = value;
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
