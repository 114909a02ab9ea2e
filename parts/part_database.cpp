#include "parts/part_database.h"

namespace bq {

void PartDatabase::ClearParts() {
  selectedName_.clear();
  selected_ = false;
  loaded_ = false;
  parts_.clear();
  RewindCursor();
}

PartRecord& PartDatabase::RecordFor(const std::string& name) { return parts_[name]; }

bool PartDatabase::NextPartName(std::string& name) {
  name.clear();
  if (!loaded_) return false;
  if (!cursor_) {
    RewindCursor();
    return false;
  }
  name = *cursor_;
  const auto next = parts_.upper_bound(name);
  if (next == parts_.end()) {
    cursor_.reset();
  } else {
    cursor_ = next->first;
  }
  return true;
}

std::string PartDatabase::PartNameForSignature(std::uint32_t signature) const {
  for (const auto& [name, record] : parts_) {
    if (record.signature == signature) return name;
  }
  return "Unknown";
}

bool PartDatabase::SelectPartByName(const std::string& name) {
  if (!loaded_) return false;
  if (parts_.find(name) == parts_.end()) return false;
  selectedName_ = name;
  selected_ = true;
  return true;
}

bool PartDatabase::SelectPartBySignature(std::uint32_t signature) {
  if (!loaded_) return false;
  selectedName_.clear();
  selected_ = false;
  for (const auto& [name, record] : parts_) {
    if (record.signature == signature) {
      selectedName_ = name;
      selected_ = true;
      return true;
    }
  }
  return false;
}

const PartRecord& PartDatabase::SelectedPart() const {
  // Asking without a selection gets an empty record rather than inventing one under "".
  const PartRecord* record = selected_ ? Find(selectedName_) : nullptr;
  return record ? *record : noPart_;
}

bool PartDatabase::GetFuseBits(BitFieldMap& out) const {
  if (!selected_ || SelectedPart().fuseBits.empty()) return false;
  out = SelectedPart().fuseBits;
  return true;
}

bool PartDatabase::GetLockBits(BitFieldMap& out) const {
  if (!selected_ || SelectedPart().lockBits.empty()) return false;
  out = SelectedPart().lockBits;
  return true;
}

bool PartDatabase::GetOsccalEntries(OsccalMap& out) const {
  if (!selected_ || SelectedPart().osccal.empty()) return false;
  out = SelectedPart().osccal;
  return true;
}

const PartRecord* PartDatabase::Find(const std::string& name) const {
  const auto it = parts_.find(name);
  return it == parts_.end() ? nullptr : &it->second;
}

void PartDatabase::FinishLoad() {
  loaded_ = !parts_.empty();
  RewindCursor();
}

void PartDatabase::RewindCursor() {
  if (parts_.empty()) {
    cursor_.reset();
  } else {
    cursor_ = parts_.begin()->first;
  }
}

}  // namespace bq
