#pragma once
// The chip the user works with: the part chosen in the chip selector (or found by identify),
// the programming modes it allows, the mode chosen, and the chip information shown for it.
// Choosing a chip brings the editors, the calibration list and the hex views in step.

#include <cstdint>
#include <string>
#include <vector>

#include "parts/part_database.h"

namespace bq {

class FuseEditor;
class CalibrationView;
class CellEditors;

// The programming mode byte sent to the programmer: 1, 2 HVPP, 3 HVSP, 4 ISP, 0 none.
inline constexpr std::uint8_t kProgModeIsp = 4;

// The mode list's only entry for a UPDI part.
inline constexpr const char* kModeUpdiText = "UPDI";

inline constexpr const char* kPartNotFoundText = "Partlist not found !!!";

struct SelectedChip {
  std::string name;
  std::uint32_t signature = 0;
  std::uint32_t ChipFlashBytes = 0;
  std::uint32_t ChipEepromBytes = 0;
  std::uint32_t flashRows = 0;   // ChipFlashBytes / 16
  std::uint32_t eepromRows = 0;  // ChipEepromBytes / 16
  std::uint32_t flashPageSizeW = 0;
  std::uint32_t flashPageCount = 0;
  std::uint32_t eepromPageSize = 0;
  std::uint32_t eepromPageCount = 0;
};

// The four chip information fields as text.
struct ChipInfoTexts {
  std::string name;       // the chip name
  std::string signature;  // "0x1E 0x95 0x0F"
  std::string flash;      // "32 KB"
  std::string eeprom;     // "1024 Bytes"
};

// What a front-end refreshes when the selection changes. Every call has a default that does
// nothing, so a front-end implements only what it shows.
class ChipSelectionView {
 public:
  virtual ~ChipSelectionView() = default;
  // The chip selector's entries or its selected entry changed.
  virtual void OnChipSelectorChanged() {}
  // The mode selector's entries or its selected entry changed.
  virtual void OnModeSelectorChanged() {}
  virtual void OnChipInfoChanged(const ChipInfoTexts&) {}
  // The chip's flash (memoryKind 1) or EEPROM (2) size changed: the hex view recolours its rows.
  virtual void OnChipMemorySizeChanged(std::uint8_t /*memoryKind*/) {}
  // An open fuse or lock-bit cell editor was closed before the selection changed: remove
  // its widget.
  virtual void CloseCellEditors() {}
  // The chosen name has no part: show kPartNotFoundText (caption "Error").
  virtual void ShowPartNotFound() {}
};

class ChipSelection {
 public:
  // The editors and the calibration view may be null (not created); they are not owned.
  ChipSelection(PartDatabase& db, FuseEditor* fuseEditor, FuseEditor* lockEditor,
                CalibrationView* calibration);

  void SetView(ChipSelectionView* view) { view_ = view; }
  // The cell editor state closed by every chip selection (may stay null).
  void SetCellEditors(CellEditors* cells) { cells_ = cells; }

  // The chip selector: every part name in the database's order, entry 0 selected.
  void FillChipSelector();
  // The user picks entry index of the chip selector (out of range: nothing happens).
  void PickChip(std::size_t index);
  // Selects the entry with exactly this name; false when it is not listed.
  bool PickChipByName(const std::string& name);
  // Makes the part named in the chip selector the selected chip.
  void ApplyChipSelection();

  // The user picks entry index of the mode selector, then ApplyModeSelection.
  void PickMode(std::size_t index);
  // Recomputes SelectedProgMode from the mode selector.
  void ApplyModeSelection();

  // After identify: selects the database's selected part in the chip selector, the
  // high-voltage entry (socket 1) or "ISP" (socket 0) in the mode selector ("UPDI", the only
  // entry, for a UPDI part), then ApplyChipSelection.
  void SelectDetectedChip(bool socket);

  // The information texts of the selected chip.
  ChipInfoTexts ShowChipInfo();

  const std::vector<std::string>& chipEntries() const { return chipEntries_; }
  // -1 when nothing is selected.
  int chipIndex() const { return chipIndex_; }
  std::string ChipSelectorText() const;
  const std::vector<std::string>& modeEntries() const { return modeEntries_; }
  int modeIndex() const { return modeIndex_; }
  std::string ModeSelectorText() const;

  const SelectedChip& chip() const { return chip_; }
  std::uint8_t HvMode() const { return hvMode_; }
  std::uint8_t SelectedProgMode() const { return selectedProgMode_; }

 private:
  PartDatabase& db_;
  FuseEditor* fuseEditor_;
  FuseEditor* lockEditor_;
  CalibrationView* calibration_;
  CellEditors* cells_ = nullptr;
  ChipSelectionView* view_ = nullptr;
  ChipSelectionView noView_;

  std::vector<std::string> chipEntries_;
  int chipIndex_ = -1;
  std::vector<std::string> modeEntries_;
  int modeIndex_ = -1;

  SelectedChip chip_;
  std::uint8_t hvMode_ = 0;
  std::uint8_t selectedProgMode_ = 0;

  ChipSelectionView& view() { return view_ != nullptr ? *view_ : noView_; }
};

// "HVPP" for modes 1 and 2, "HVSP" for 3, "ISP" for 4, "" otherwise.
const char* ProgModeName(std::uint8_t mode);

}  // namespace bq
