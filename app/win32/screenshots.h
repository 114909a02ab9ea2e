#pragma once
// Pictures of the shown main window on each tab, as BMP files: win32-tab-N-NAME.bmp.

#include <string>

namespace bq::win32 {

class MainWindow;

// Brings each tab to the front in turn, lets the window paint, and copies it from the screen.
// True when every picture was written.
bool SaveScreenshots(MainWindow& window, const std::string& dir);

}  // namespace bq::win32
