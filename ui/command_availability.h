#pragma once
// Which chip commands the chosen kind of programmer can do in the selected programming
// mode, for the selected part. A command it cannot do is disabled in the menus and the
// toolbar, and its tooltip says why. What the engine does for a programmer by reading (a blank
// check, a verify, an identify by the signature) stays available.

#include <cstdint>
#include <string>

#include "drivers/programmer_driver.h"

namespace bq {

// Why the command (a toolbar, menu or tab-page id) cannot be done; "" when it can. With the
// selected part (null: none), a UPDI part and a programmer that cannot reach it, or a classic
// part and the SerialUPDI adapter, disable every chip command but Identify.
std::string CommandUnavailableText(const ProgrammerInfo& programmer, std::uint8_t mode,
                                   int commandId, const std::string& partName = "",
                                   const PartRecord* part = nullptr);

// The chip commands whose state depends on the programmer: toolbar buttons, menu items and
// tab-page buttons.
bool IsChipCommand(int commandId);

}  // namespace bq
