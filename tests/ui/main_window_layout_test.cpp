// The main window's children are placed from the measured bar heights.

#include "ui/main_window_layout.h"

#include <gtest/gtest.h>

namespace bq {
namespace {

TEST(MainWindowLayoutTest, ChildrenFollowTheMeasuredHeights) {
  // A toolbar of 28, a client area of 994 x 646, a status bar of 22, tab items of 20.
  const MainWindowLayout l = LayOutMainWindow(28, 994, 646, 22, 20);
  EXPECT_EQ(l.chipName, (LayoutRect{85, 33, 120, 20}));
  EXPECT_EQ(l.eepromSize, (LayoutRect{335, 56, 120, 20}));
  EXPECT_EQ(l.progressBar, (LayoutRect{465, 56, 520, 20}));
  EXPECT_EQ(l.tabControl, (LayoutRect{0, 78, 994, 440}));
  // The log fills the band from 6 pixels below the tabs to 2 pixels above the status bar.
  EXPECT_EQ(l.messageLog.y, l.tabControl.bottom() + 6);
  EXPECT_EQ(l.messageLog.bottom(), 646 - 22 - 2);
  EXPECT_EQ(l.messageLog.width, 991);
  // The page: 7 right of the tab control, tab item + 10 below its top, 12 narrower, 5 above
  // its bottom.
  EXPECT_EQ(l.page, (LayoutRect{7, 108, 982, 405}));
  EXPECT_EQ(l.page.bottom(), l.tabControl.bottom() - 5);
  EXPECT_EQ(l.fieldList, (LayoutRect{7, 108, 982, 335}));
  EXPECT_EQ(l.byteList, (LayoutRect{7, 444, 422, 69}));
  EXPECT_EQ(l.pageButtons[0], (LayoutRect{442, 465, 120, 30}));
  EXPECT_EQ(l.pageButtons[3].x, 7 + 855);
  EXPECT_EQ(l.fieldColumns[2], 982 - 426);
  EXPECT_EQ(l.hexColumn, 962);
  EXPECT_EQ(l.logColumn, 971);
}

}  // namespace
}  // namespace bq
