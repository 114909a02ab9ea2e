#include "ui/main_window_layout.h"

namespace bq {

MainWindowLayout LayOutMainWindow(int t, int w, int h, int s, int tabItemHeight) {
  MainWindowLayout l;
  l.chipLabel = {15, t + 7, 65, 20};
  l.signatureLabel = {15, t + 30, 65, 20};
  l.chipName = {85, t + 5, 120, 20};
  l.signature = {85, t + 28, 120, 20};
  l.flashLabel = {235, t + 7, 100, 20};
  l.eepromLabel = {235, t + 30, 100, 20};
  l.flashSize = {335, t + 5, 120, 20};
  l.eepromSize = {335, t + 28, 120, 20};
  l.progressBar = {465, t + 28, 520, 20};
  l.tabControl = {0, t + 50, w, kTabControlHeight};
  // From 6 pixels below the tab control to 2 pixels above the status bar.
  l.messageLog = {2, t + kTabControlHeight + 56, w - 3, h - t - kTabControlHeight - s - 58};
  l.page = {l.tabControl.x + 7, l.tabControl.y + tabItemHeight + 10, l.tabControl.width - 12,
            kTabControlHeight - tabItemHeight - 15};
  const LayoutRect& p = l.page;
  const EditorListRects editor = EditorLists(p, false);
  l.fieldList = editor.fields;
  l.byteList = editor.bytes;
  l.calibrationList = {p.x, p.y, p.width, p.height - 70};
  const int buttonX[4] = {435, 575, 715, 855};
  for (int i = 0; i < 4; ++i) l.pageButtons[i] = {p.x + buttonX[i], p.bottom() - 48, 120, 30};

  l.logColumn = l.messageLog.width - 20;
  l.hexColumn = p.width - 20;
  const std::array<int, 2> names = FieldNameColumns(false);
  l.fieldColumns = {names[0], names[1], p.width - 426};
  l.byteColumns = {90, 330};
  l.calibrationColumns = {90, p.width - 90};
  return l;
}

EditorListRects EditorLists(const LayoutRect& page, bool namedFuseBytes) {
  // Three rows of 20 pixels with the frame; nine for the named bytes.
  const int bytes = namedFuseBytes ? 189 : 69;
  return {{page.x, page.y, page.width, page.height - bytes - 1},
          {page.x, page.y + page.height - bytes, 422, bytes}};
}

std::array<int, 2> FieldNameColumns(bool namedFuseBytes) {
  if (namedFuseBytes) return {150, 270};
  return {90, 330};
}

}  // namespace bq
