#pragma once
// The one collection of part records, keyed by name in byte order, with the selection.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "parts/part_record.h"

namespace bq {

class PartDatabase {
 public:
  using PartMap = std::map<std::string, PartRecord>;

  void ClearParts();
  // The record stored under name, created empty when new. For the part list reader.
  PartRecord& RecordFor(const std::string& name);

  // Enumerates the names in byte order: each name once, then one false, then again from the start.
  bool NextPartName(std::string& name);
  // Name of the first part (byte order) with this signature, or "Unknown".
  std::string PartNameForSignature(std::uint32_t signature) const;
  bool SelectPartByName(const std::string& name);
  bool SelectPartBySignature(std::uint32_t signature);

  bool selected() const { return selected_; }
  const std::string& selectedName() const { return selectedName_; }
  bool loaded() const { return loaded_; }
  // Only while selected() is true.
  const PartRecord& SelectedPart() const;

  bool GetFuseBits(BitFieldMap& out) const;
  bool GetLockBits(BitFieldMap& out) const;
  bool GetOsccalEntries(OsccalMap& out) const;

  const PartMap& parts() const { return parts_; }
  std::size_t size() const { return parts_.size(); }
  // A record by name, or null. Lookups that do not touch the selection.
  const PartRecord* Find(const std::string& name) const;

  // For the loader: marks the database loaded when it holds parts and rewinds the name cursor.
  void FinishLoad();

 private:
  void RewindCursor();

  PartMap parts_;
  // The next name NextPartName gives, or none at the end. Kept as a key, not an iterator, so
  // that copies and moves of the database stay sound.
  std::optional<std::string> cursor_;
  bool loaded_ = false;
  std::string selectedName_;
  bool selected_ = false;
  PartRecord noPart_;  // what SelectedPart() gives when nothing is selected
};

// Clears the database, reads the part list file into it and returns the number of parts.
std::int32_t LoadPartList(PartDatabase& db, const std::string& fileName);

}  // namespace bq
