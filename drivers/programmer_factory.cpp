#include "drivers/programmer_factory.h"

#include "drivers/brindlequartz/brindlequartz_driver.h"
#include "drivers/serialupdi/serialupdi_driver.h"
#include "drivers/stk500v1/stk500v1_driver.h"
#include "drivers/stk500v2/stk500v2_driver.h"

namespace bq {

std::unique_ptr<ProgrammerDriver> MakeProgrammerDriver(ProgrammerKind kind) {
  switch (kind) {
    case ProgrammerKind::Stk500v1:
      return std::make_unique<Stk500v1Driver>();
    case ProgrammerKind::Stk500v2:
      return std::make_unique<Stk500v2Driver>();
    case ProgrammerKind::SerialUpdi:
      return std::make_unique<SerialUpdiDriver>();
    case ProgrammerKind::Brindlequartz:
      break;
  }
  return std::make_unique<BrindlequartzDriver>();
}

}  // namespace bq
