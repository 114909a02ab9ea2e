#include "ui/calibration_view.h"

#include <utility>

namespace bq {

void CalibrationView::RefillCalibrationView() {
  entries_.clear();
  values_.clear();
  if (!db_.GetOsccalEntries(entries_)) entries_.clear();
  for (const auto& [sequence, entry] : entries_) values_[sequence] = "";
  if (listener_ != nullptr) listener_->OnCalibrationRefilled();
}

void CalibrationView::ShowCalibrationValues() {
  if (listener_ != nullptr) listener_->OnCalibrationValuesShown();
}

std::string CalibrationView::ValueText(std::uint32_t sequence) const {
  const auto it = values_.find(sequence);
  return it == values_.end() ? std::string() : it->second;
}

void CalibrationView::SetValueText(std::uint32_t sequence, std::string text) {
  if (entries_.count(sequence) == 0) return;
  values_[sequence] = std::move(text);
}

}  // namespace bq
