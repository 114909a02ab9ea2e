#pragma once
// A virtual list model: row count and cells come from functions that read the
// application's models when a view paints, so nothing is copied.

#include <QAbstractTableModel>
#include <functional>

namespace bq::qt {

class FunctionModel : public QAbstractTableModel {
 public:
  using RowsFn = std::function<int()>;
  using CellFn = std::function<QVariant(int row, int column, int role)>;

  FunctionModel(int columns, RowsFn rows, CellFn cell, QObject* parent)
      : QAbstractTableModel(parent),
        columns_(columns),
        rows_(std::move(rows)),
        cell_(std::move(cell)) {}

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : shownRows_;
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : columns_;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= shownRows_) return {};
    return cell_(index.row(), index.column(), role);
  }

  // Every row may have changed. Keeps the scroll position when the row count stayed.
  void Refresh() {
    const int rows = rows_();
    if (rows != shownRows_) {
      beginResetModel();
      shownRows_ = rows;
      endResetModel();
    } else if (rows > 0) {
      emit dataChanged(index(0, 0), index(rows - 1, columns_ - 1));
    }
  }
  // The rows were replaced: views start from the top again.
  void Reset() {
    beginResetModel();
    shownRows_ = rows_();
    endResetModel();
  }

 private:
  int columns_;
  RowsFn rows_;
  CellFn cell_;
  int shownRows_ = 0;
};

}  // namespace bq::qt
