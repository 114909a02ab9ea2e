#pragma once
// Where the main window's children go. The window has a fixed size, so every child is placed
// once, from the measured heights of the toolbar, the status bar and a tab item; both
// front-ends take the rectangles from here.

#include <array>

namespace bq {

struct LayoutRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
  bool operator==(const LayoutRect&) const = default;
};

// Outer size of the main window (no sizing border, no maximise box).
inline constexpr int kMainWindowWidth = 1000;
inline constexpr int kMainWindowHeight = 700;
// Width of the toolbar entries that hold the chip and mode selectors.
inline constexpr int kSelectorWidth = 150;
inline constexpr int kTabControlHeight = 440;

struct MainWindowLayout {
  // Chip information row: labels, read-only fields and the progress bar.
  LayoutRect chipLabel, signatureLabel, flashLabel, eepromLabel;
  LayoutRect chipName, signature, flashSize, eepromSize;  // ids 212, 213, 215, 214
  LayoutRect progressBar;                                 // id 216
  LayoutRect tabControl;                                  // id 201
  LayoutRect messageLog;                                  // id 203
  // The page of every tab; the hex views fill it.
  LayoutRect page;
  LayoutRect fieldList, byteList;  // fuse and lock-bit editors (both tabs alike)
  LayoutRect calibrationList;
  // "Set Default", "Write", "Verify", "Read" (the calibration tab uses the fourth place).
  std::array<LayoutRect, 4> pageButtons;

  // Column widths of the lists.
  int logColumn = 0;
  int hexColumn = 0;
  std::array<int, 3> fieldColumns{};
  std::array<int, 2> byteColumns{};
  std::array<int, 2> calibrationColumns{};
};

// The widths of a field list's name and caption columns: a UPDI part's field names
// ("SYSCFG0.RSTPINCFG") take a wider name column from the caption column; the two together
// stay as wide as for a classic part.
std::array<int, 2> FieldNameColumns(bool namedFuseBytes);

// The fuse editor's field and byte lists on the page. A UPDI part's named fuse bytes (eight
// and more, against three classic ones) take a taller byte list, so that each shows without
// scrolling; the field list above gives up the room.
struct EditorListRects {
  LayoutRect fields;
  LayoutRect bytes;
};
EditorListRects EditorLists(const LayoutRect& page, bool namedFuseBytes);

// toolbarHeight: the toolbar's client height; clientWidth, clientHeight: the main window's
// client area; statusBarHeight: the status bar's height; tabItemHeight: height of tab item 0.
MainWindowLayout LayOutMainWindow(int toolbarHeight, int clientWidth, int clientHeight,
                                  int statusBarHeight, int tabItemHeight);

}  // namespace bq
