#pragma once
// The driver of each kind of programmer.

#include <memory>

#include "drivers/programmer_driver.h"

namespace bq {

std::unique_ptr<ProgrammerDriver> MakeProgrammerDriver(ProgrammerKind kind);

}  // namespace bq
