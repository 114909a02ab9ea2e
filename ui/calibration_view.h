#pragma once
// The calibration bytes of the selected part: one entry per byte with its label and address,
// and the value text read from the chip ("" until read, "0x%02X" afterwards).

#include <cstdint>
#include <map>
#include <string>

#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

// What a front-end refreshes; both calls mean "show every row again".
class CalibrationViewListener {
 public:
  virtual ~CalibrationViewListener() = default;
  // The rows were rebuilt (labels changed, values empty).
  virtual void OnCalibrationRefilled() = 0;
  // The value texts are to be shown.
  virtual void OnCalibrationValuesShown() = 0;
};

class CalibrationView {
 public:
  explicit CalibrationView(const PartDatabase& db) : db_(db) {}

  // Entries := the selected part's calibration bytes (none without a selected part); every
  // value becomes "".
  void RefillCalibrationView();
  // Tells the listener to show the value texts; the values do not change.
  void ShowCalibrationValues();

  const OsccalMap& entries() const { return entries_; }
  const std::map<std::uint32_t, std::string>& values() const { return values_; }
  // "" for an unknown sequence number.
  std::string ValueText(std::uint32_t sequence) const;
  // Stores a value text; ignored for a sequence number without entry.
  void SetValueText(std::uint32_t sequence, std::string text);

  void SetListener(CalibrationViewListener* listener) { listener_ = listener; }

 private:
  const PartDatabase& db_;
  OsccalMap entries_;
  std::map<std::uint32_t, std::string> values_;
  CalibrationViewListener* listener_ = nullptr;
};

}  // namespace bq
