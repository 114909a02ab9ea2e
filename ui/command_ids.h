#pragma once
// Identifiers of the main window's controls, toolbar buttons, tab-page buttons and menu items,
// and the five tabs. Front-ends use the same numbers for their widgets.

#include <cstdint>

namespace bq {

// Child controls.
inline constexpr int kIdToolbar = 200;
inline constexpr int kIdTabControl = 201;
inline constexpr int kIdStatusBar = 202;
inline constexpr int kIdMessageLog = 203;
inline constexpr int kIdChipSelector = 204;
inline constexpr int kIdModeSelector = 205;
inline constexpr int kIdFlashHexView = 206;
inline constexpr int kIdEepromHexView = 207;
inline constexpr int kIdFuseFieldList = 208;
inline constexpr int kIdFuseByteList = 209;
inline constexpr int kIdLockFieldList = 210;
inline constexpr int kIdLockByteList = 211;
inline constexpr int kIdChipName = 212;
inline constexpr int kIdSignature = 213;
inline constexpr int kIdEepromSize = 214;
inline constexpr int kIdFlashSize = 215;
inline constexpr int kIdProgressBar = 216;
inline constexpr int kIdCalibrationList = 217;

// Toolbar buttons.
inline constexpr int kIdClearBuffer = 500;
inline constexpr int kIdLoadBuffer = 501;
inline constexpr int kIdSaveBuffer = 502;
inline constexpr int kIdWriteChip = 503;
inline constexpr int kIdReadChip = 504;
inline constexpr int kIdBlankCheck = 505;
inline constexpr int kIdVerifyChip = 506;
inline constexpr int kIdEraseChip = 507;
inline constexpr int kIdIdentify = 509;
inline constexpr int kIdSettings = 510;

// Tab-page buttons.
inline constexpr int kIdFuseSetDefault = 511;
inline constexpr int kIdFuseWrite = 512;
inline constexpr int kIdFuseVerify = 513;
inline constexpr int kIdFuseRead = 514;
inline constexpr int kIdLockSetDefault = 515;
inline constexpr int kIdLockWrite = 516;
inline constexpr int kIdLockVerify = 517;
inline constexpr int kIdLockRead = 518;
inline constexpr int kIdCalibrationRead = 519;
// Beside the progress bar: stops the running chip command (enabled only while one runs).
inline constexpr int kIdStop = 520;

// Menu items.
inline constexpr int kMenuClear = 40004;
inline constexpr int kMenuLoad = 40005;
inline constexpr int kMenuSave = 40006;
inline constexpr int kMenuReload = 40007;
inline constexpr int kMenuIdentify = 40009;
inline constexpr int kMenuWrite = 40010;
inline constexpr int kMenuRead = 40011;
inline constexpr int kMenuBlankCheck = 40012;
inline constexpr int kMenuErase = 40013;
inline constexpr int kMenuVerify = 40014;
inline constexpr int kMenuExit = 40015;
inline constexpr int kMenuSettings = 40016;
// Chip > "Program": erase, then write and verify flash and (when it holds data) EEPROM.
inline constexpr int kMenuProgram = 40017;
// Chip > "Program again when the file changes", a check mark: while checked, each change of
// the FLASH buffer's file runs Program again.
inline constexpr int kMenuProgramWatch = 40018;
// Chip > "Rescue...": finds out what keeps the chip from ISP or from being read, asks, fixes it.
inline constexpr int kMenuRescue = 40019;

// The toolbar buttons, in toolbar order, and the Buffer menu items that a tab without a
// buffer disables.
inline constexpr int kToolbarButtons[] = {500, 501, 502, 503, 504, 505, 506, 507, 509, 510};
inline constexpr int kBufferToolbarButtons[] = {kIdClearBuffer, kIdLoadBuffer, kIdSaveBuffer};
inline constexpr int kBufferMenuItems[] = {kMenuClear, kMenuLoad, kMenuSave, kMenuReload};

// The tabs, in the order they are shown.
enum class MainTab : std::uint8_t {
  Flash = 0,
  Eeprom = 1,
  Fuses = 2,
  LockBits = 3,
  Calibration = 4
};
inline constexpr int kTabCount = 5;
inline constexpr const char* kTabTexts[kTabCount] = {"Flash", "EEPROM", "Fuses", "Lock Bits",
                                                     "Calibration Bytes"};

}  // namespace bq
