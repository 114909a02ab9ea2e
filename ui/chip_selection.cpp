#include "ui/chip_selection.h"

#include <cstdio>

#include "ui/calibration_view.h"
#include "ui/cell_editors.h"
#include "ui/fuse_editor.h"

namespace bq {

ChipSelection::ChipSelection(PartDatabase& db, FuseEditor* fuseEditor, FuseEditor* lockEditor,
                             CalibrationView* calibration)
    : db_(db), fuseEditor_(fuseEditor), lockEditor_(lockEditor), calibration_(calibration) {}

void ChipSelection::FillChipSelector() {
  chipEntries_.clear();
  chipIndex_ = -1;
  std::string name;
  while (db_.NextPartName(name)) chipEntries_.push_back(name);
  if (!chipEntries_.empty()) chipIndex_ = 0;
  view().OnChipSelectorChanged();
}

void ChipSelection::PickChip(std::size_t index) {
  if (index >= chipEntries_.size()) return;
  chipIndex_ = static_cast<int>(index);
  view().OnChipSelectorChanged();
  ApplyChipSelection();
}

bool ChipSelection::PickChipByName(const std::string& name) {
  for (std::size_t i = 0; i < chipEntries_.size(); ++i) {
    if (chipEntries_[i] == name) {
      chipIndex_ = static_cast<int>(i);
      view().OnChipSelectorChanged();
      return true;
    }
  }
  return false;
}

std::string ChipSelection::ChipSelectorText() const {
  if (chipIndex_ < 0 || static_cast<std::size_t>(chipIndex_) >= chipEntries_.size()) return "";
  return chipEntries_[static_cast<std::size_t>(chipIndex_)];
}

std::string ChipSelection::ModeSelectorText() const {
  if (modeIndex_ < 0 || static_cast<std::size_t>(modeIndex_) >= modeEntries_.size()) return "";
  return modeEntries_[static_cast<std::size_t>(modeIndex_)];
}

void ChipSelection::ApplyChipSelection() {
  if (cells_ != nullptr) cells_->CloseCellEditors();
  view().CloseCellEditors();
  const std::string text = ChipSelectorText();
  if (text.empty()) return;
  if (!db_.SelectPartByName(text)) {
    chip_.name.clear();
    view().ShowPartNotFound();
    return;
  }
  chip_.name = text;
  const bool have = db_.selected();
  const PartRecord none;
  const PartRecord& part = have ? db_.SelectedPart() : none;
  chip_.signature = part.signature;

  chip_.flashPageSizeW = part.flashPageSizeW;
  chip_.flashPageCount = part.flashNoOfPages;
  const std::uint32_t flashBytes = part.FlashBytes();
  if (flashBytes != chip_.ChipFlashBytes) {
    chip_.ChipFlashBytes = flashBytes;
    chip_.flashRows = flashBytes / 16;
    view().OnChipMemorySizeChanged(1);
  }
  chip_.eepromPageSize = part.eepromPageSize;
  chip_.eepromPageCount = part.eepromNoOfPages;
  const std::uint32_t eepromBytes = part.EepromBytes();
  if (eepromBytes != chip_.ChipEepromBytes) {
    chip_.ChipEepromBytes = eepromBytes;
    chip_.eepromRows = eepromBytes / 16;
    view().OnChipMemorySizeChanged(2);
  }

  const std::uint8_t v = part.hvMode;
  if (v >= 1 && v <= 3) {
    if (v != hvMode_) {
      const int remembered = modeIndex_ < 0 ? 0 : modeIndex_;
      modeEntries_.clear();
      modeEntries_.push_back(v == 3 ? "HVSP" : "HVPP");
      modeEntries_.push_back("ISP");
      modeIndex_ = remembered < 2 ? remembered : -1;
      hvMode_ = v;
      view().OnModeSelectorChanged();
    }
  } else {
    hvMode_ = 0;
    // A UPDI part has its one wire and nothing else to choose.
    modeEntries_ = {part.IsUpdi() ? kModeUpdiText : "ISP"};
    modeIndex_ = 0;
    view().OnModeSelectorChanged();
  }

  if (fuseEditor_ != nullptr) fuseEditor_->ResetEditor();
  if (lockEditor_ != nullptr) lockEditor_->ResetEditor();
  if (calibration_ != nullptr) calibration_->RefillCalibrationView();
  view().OnChipInfoChanged(ShowChipInfo());
  ApplyModeSelection();
}

void ChipSelection::PickMode(std::size_t index) {
  if (index >= modeEntries_.size()) return;
  modeIndex_ = static_cast<int>(index);
  view().OnModeSelectorChanged();
  ApplyModeSelection();
}

void ChipSelection::ApplyModeSelection() {
  const std::string text = ModeSelectorText();
  if (text.empty()) {
    selectedProgMode_ = 0;
  } else if (text == "ISP" || text == kModeUpdiText) {
    // The SerialUPDI adapter sends no mode; the engine keeps a UPDI part in the ISP mode, as
    // its identify does.
    selectedProgMode_ = kProgModeIsp;
  } else {
    selectedProgMode_ = hvMode_;
  }
}

void ChipSelection::SelectDetectedChip(bool socket) {
  PickChipByName(db_.selectedName());
  const auto pickConnection = [this, socket] {
    if (socket) {
      if (!modeEntries_.empty()) modeIndex_ = 0;
    } else {
      for (std::size_t i = 0; i < modeEntries_.size(); ++i) {
        if (modeEntries_[i] == "ISP") modeIndex_ = static_cast<int>(i);
      }
    }
    view().OnModeSelectorChanged();
  };
  pickConnection();
  ApplyChipSelection();
  // When the previous part offered only "ISP", rebuilding the mode list re-applies index 0,
  // the new part's high-voltage entry, although the chip answered over the ISP cable. The
  // connection the chip was found on wins.
  pickConnection();
  ApplyModeSelection();
}

ChipInfoTexts ChipSelection::ShowChipInfo() {
  ChipInfoTexts t;
  t.name = chip_.name;
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%02X 0x%02X 0x%02X", (chip_.signature >> 16) & 0xFFu,
                (chip_.signature >> 8) & 0xFFu, chip_.signature & 0xFFu);
  t.signature = buf;
  std::snprintf(buf, sizeof buf, "%d KB", static_cast<int>(chip_.ChipFlashBytes / 1024));
  t.flash = buf;
  std::snprintf(buf, sizeof buf, "%d Bytes", static_cast<int>(chip_.ChipEepromBytes));
  t.eeprom = buf;
  return t;
}

const char* ProgModeName(std::uint8_t mode) {
  switch (mode) {
    case 1:
    case 2:
      return "HVPP";
    case 3:
      return "HVSP";
    case 4:
      return "ISP";
    default:
      return "";
  }
}

}  // namespace bq
