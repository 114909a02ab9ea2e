#pragma once
// The fuse and lock-bit editor model: the configuration bytes of the selected part, field by
// field (from the part's bit-field descriptions) and byte by byte. Chip commands write and
// verify a copy of the byte slots, and bytes read from the chip are put into them on the
// user-interface thread; the user changes them through fields, named values or typed bytes.
//
// With a UPDI part selected the fuse editor shows the part's named fuse bytes instead (WDTCFG,
// BODCFG, SYSCFG0, ...): a byte row for each by its name, a field row for each of their fields
// named "BYTE.FIELD". The rows, cells and redraws are the same; the bytes are namedBytes(). A
// one-bit field there is checked when its bit is 1 (the bit turns the feature on), and the
// field that can take the UPDI pin away is drawn as a warning field.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "drivers/driver_types.h"
#include "link/fuse_bytes.h"
#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

struct ByteRow {
  std::uint8_t targetByte = 0;  // TargetByte; the byte's offset for named fuse bytes
  std::string label;            // "LOW", "HIGH", "EXTENDEND", "LOCKBIT" or the byte's name
  std::string valueText;        // "0x%02X"
};

// Fields whose check box is drawn with a red frame: programming them can lock the user out.
bool IsWarningField(const std::string& name);

// What a front-end redraws. Defaults do nothing.
class FuseEditorView {
 public:
  virtual ~FuseEditorView() = default;
  // The field rows were replaced, or a field's value changed: redraw the field list.
  virtual void OnFieldsChanged() {}
  // The byte rows were rebuilt.
  virtual void OnBytesChanged() {}
};

class FuseEditor {
 public:
  FuseEditor(FuseEditorKind which, const PartDatabase& db) : which_(which), db_(db) {}
  FuseEditor(const FuseEditor&) = delete;
  FuseEditor& operator=(const FuseEditor&) = delete;

  void SetView(FuseEditorView* view) { view_ = view; }
  FuseEditorKind which() const { return which_; }

  // The selected part is a UPDI part and this is the fuse editor: the rows are its named bytes.
  bool IsNamed() const { return named_; }
  // The selected part's UPDI layout when IsNamed, else null.
  const UpdiLayout* NamedLayout() const;
  // The named fuse bytes by offset from the part's fuse base (empty unless IsNamed).
  std::vector<std::uint8_t>& namedBytes() { return namedBytes_; }
  const std::vector<std::uint8_t>& namedBytes() const { return namedBytes_; }
  // Every byte the part names with its value in the editor: what Write sends. A byte without
  // a factory value is left out until it was read from the chip or given a value.
  std::vector<NamedFuseValue> NamedValues() const;
  // The named bytes of the last read from the chip while the selected part was selected, else
  // the part's factory bytes.
  std::vector<NamedFuseValue> ChipNamedValuesOrDefaults() const;

  // The byte slots chip commands copy and reads from the chip fill.
  FuseByteSlots& bytes() { return bytes_; }
  const FuseByteSlots& bytes() const { return bytes_; }
  std::uint8_t ByteValue(std::uint8_t targetByte) const;
  bool BytePresent(std::uint8_t targetByte) const;

  // Field rows := the selected part's fuse (or lock-bit) fields; the bytes := the part's
  // defaults (fuses) or 0xFF (lock byte); then the byte rows are rebuilt. "Set Default".
  void ResetEditor();
  // Byte rows := one per present byte in the order LOW, HIGH, EXTENDED, LOCKBIT.
  void RebuildByteList();
  // After bytes read from the chip were stored; they are also kept as the chip's bytes.
  void BytesReadFromChip();
  // What the chip holds as far as this editor knows: the bytes of the last read from the chip
  // while the selected part was selected, else the part's defaults (as "Set Default" gives).
  FuseByteSlots ChipBytesOrDefaults() const;

  const std::map<std::uint32_t, BitFieldDesc>& fieldRows() const { return fields_; }
  const std::map<std::uint32_t, ByteRow>& byteRows() const { return byteRows_; }

  // (byte AND mask) shifted down to the mask's lowest set bit; 0 for an unknown row.
  std::uint8_t FieldValue(std::uint32_t row) const;
  // -1 without field rows; 0 for an enumerator; for a bit field (1 if its value is not 1)
  // + (2 for a warning field): 0/1 grey unchecked/checked, 2/3 red unchecked/checked.
  int FieldPicture(std::uint32_t row) const;
  // A bit field's check box shows checked (value not 1: the bit is programmed).
  bool FieldChecked(std::uint32_t row) const;
  // Text of the first choice whose value equals FieldValue; "" when none does.
  std::string CurrentChoiceText(std::uint32_t row) const;
  // The choice list's entry to preselect: the last choice equal to FieldValue, else 0.
  std::size_t ChoiceCellSelection(std::uint32_t row) const;
  // The value cell as text: "[x]" / "[ ]" for a bit field, the current named value otherwise.
  std::string FieldDisplayText(std::uint32_t row) const;

  // Clears the field's bits when any is set, sets them all otherwise.
  void ToggleField(std::uint32_t row);
  // Puts the value of the choice at position choiceIndex (choice-number order) into the field.
  void ApplyChoice(std::uint32_t row, std::size_t choiceIndex);
  // The text as an unsigned number (0x hex, leading 0 octal, else decimal; stops at the first
  // character that does not fit, no number gives 0); its low 8 bits become the byte of the row.
  void ApplyByteText(std::uint32_t byteRow, const std::string& text);
  // Sets a field to a value counted from its mask's lowest bit (bits outside the mask ignored).
  void SetFieldValue(std::uint32_t row, std::uint32_t value);
  // Sets a whole byte; ignored when the part does not have it (a classic byte on a UPDI part).
  bool SetByte(std::uint8_t targetByte, std::uint8_t value);
  // Sets a named fuse byte by its offset; false unless IsNamed and the part has it.
  bool SetNamedByte(std::uint8_t offset, std::uint8_t value);

  // Row of the field with this name (case-insensitive); -1 when there is none.
  int FindField(const std::string& name) const;

 private:
  FuseByteSlots DefaultBytes() const;
  void FieldsChanged();
  // The byte a field row or byte row names (targetByte), or null.
  std::uint8_t* ByteRef(std::uint8_t targetByte);
  void ResetNamed();

  FuseEditorKind which_;
  const PartDatabase& db_;
  FuseEditorView* view_ = nullptr;
  FuseByteSlots bytes_{};
  FuseByteSlots chipBytes_{};
  std::string chipBytesPart_;  // the part chipBytes_ were read for; "" for none
  std::map<std::uint32_t, ByteRow> byteRows_;
  std::map<std::uint32_t, BitFieldDesc> fields_;
  bool named_ = false;
  std::vector<std::uint8_t> namedBytes_;
  std::vector<std::uint8_t> namedChipBytes_;
  std::vector<bool>
      namedKnown_;           // by offset: the byte's value is the chip's, a factory or a typed one
  std::string namedPart_;    // the part namedBytes_ belong to
  std::string pinFieldRow_;  // "SYSCFG0.RSTPINCFG" when the part's UPDI pin is shared
};

// The lock byte of a tinyAVR or megaAVR 0 part as one field for the lock-bit editor, which the
// part list describes by its open value only: "No locks" (that value) or "Read and write
// lock" (kUpdiLockedByte); any value but the open one locks the chip. Nothing for a classic
// part or an AVR Dx, whose lock is a 4-byte key.
inline constexpr std::uint8_t kUpdiLockedByte = 0x3A;
void AddUpdiLockField(const PartRecord& part, BitFieldMap& fields);

// Unsigned number with automatic base detection, as typed into a byte cell.
unsigned long ParseByteText(const std::string& text);

}  // namespace bq
