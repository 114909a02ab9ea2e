#include "drivers/driver_types.h"

#include <algorithm>

#include "image/memory_buffer.h"

namespace bq {

MemoryGeometry FlashGeometry(const PartRecord& part) {
  return {MEMORY_FLASH, part.flashPageSizeW, part.flashNoOfPages};
}

std::uint32_t PagesWithData(const std::uint8_t* image, std::size_t size,
                            const MemoryGeometry& memory) {
  const std::uint32_t length = ProgrammedLength(image, std::min<std::size_t>(size, memory.Bytes()));
  return (length + memory.PageBytes() - 1) / memory.PageBytes();
}

MemoryGeometry EepromGeometry(const PartRecord& part) {
  return {MEMORY_EEPROM, part.eepromPageSize, part.eepromNoOfPages};
}

MemoryGeometry UserRowGeometry(const PartRecord& part) {
  if (!part.IsUpdi() || part.updi.userRowSize == 0) return {MEMORY_USERROW, 0, 0};
  return {MEMORY_USERROW, part.updi.userRowSize, 1};
}

const char* MemoryName(MemoryKind kind) {
  switch (kind) {
    case MEMORY_EEPROM:
      return "EEPROM";
    case MEMORY_USERROW:
      return "user row";
    default:
      return "flash";
  }
}

SessionStatus StatusClass(std::uint8_t linkStatus) {
  switch (KindOfStatus(linkStatus)) {
    case StatusKind::Ok:
      return SessionStatus::Ok;
    case StatusKind::Cancelled:
      return SessionStatus::Cancelled;
    case StatusKind::LinkFailure:
      return SessionStatus::LinkError;
    case StatusKind::DeviceError:
      break;
  }
  return SessionStatus::DeviceError;
}

std::string SessionStatusName(SessionStatus status) {
  switch (status) {
    case SessionStatus::Ok:
      return "ok";
    case SessionStatus::PortNotOpen:
      return "port not open";
    case SessionStatus::LinkError:
      return "no proper answer from the programmer";
    case SessionStatus::DeviceError:
      return "the programmer reported an error";
    case SessionStatus::Mismatch:
      return "the chip differs";
    case SessionStatus::NotEmpty:
      return "the chip is not empty";
    case SessionStatus::Refused:
      return "refused";
    case SessionStatus::Cancelled:
      return "cancelled";
    case SessionStatus::Busy:
      return "busy";
  }
  return "unknown";
}

}  // namespace bq
