#pragma once
// Pictures of the main window on each tab and of the settings dialog, for documentation
// and for looking at the layout without a desktop (make screenshots).

#include <QString>

namespace bq::qt {

class MainWindow;

// Identifies the chip and reads its fuses, lock bits, calibration bytes and flash, as far as
// the programmer can (so the pages show content), then
// saves tab-N-NAME.png for the five tabs and settings.png into dir. False when a picture
// could not be written.
bool SaveScreenshots(MainWindow& window, const QString& dir);

}  // namespace bq::qt
