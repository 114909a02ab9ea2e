#include "image/buffer_commands.h"

namespace bq {

namespace {

MemoryBuffer* BufferFor(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom) {
  switch (tab) {
    case BufferTab::Flash:
      return &flash;
    case BufferTab::Eeprom:
      return &eeprom;
    case BufferTab::Other:
      return nullptr;
  }
  return nullptr;
}

const char* BufferName(BufferTab tab) {
  return tab == BufferTab::Flash ? "FLASH" : "EEPROM";
}

BufferCommandResult Busy() {
  BufferCommandResult result;
  result.log.push_back({LogKind::LogError, kBufferBusyText});
  return result;
}

}  // namespace

BufferCommandResult ClearCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                 bool workerBusy) {
  MemoryBuffer* buffer = BufferFor(tab, flash, eeprom);
  if (buffer == nullptr) return {};
  if (workerBusy) return Busy();
  ClearBuffer(*buffer);
  BufferCommandResult result;
  result.refillView = true;
  result.log.push_back({LogKind::LogSuccess, std::string(BufferName(tab)) + " buffer cleared"});
  return result;
}

BufferCommandResult LoadCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                const std::string& path, bool workerBusy, ImageFormat format) {
  MemoryBuffer* buffer = BufferFor(tab, flash, eeprom);
  if (buffer == nullptr) return {};
  if (workerBusy) return Busy();
  BufferCommandResult result;
  const ImageLoadResult loaded = LoadImage(*buffer, path, format);
  if (loaded.count != 0) {
    result.refillView = true;
    result.log.push_back({LogKind::LogInfo, path + " loaded into " + BufferName(tab) + " buffer"});
    if (!loaded.warning.empty()) result.log.push_back({LogKind::LogWarning, loaded.warning});
  } else if (!loaded.error.empty()) {
    result.log.push_back({LogKind::LogError, loaded.error});
  } else {
    result.log.push_back({LogKind::LogError, path + " not found."});
  }
  return result;
}

BufferCommandResult SaveCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                const std::string& path, std::uint32_t chipFlashBytes,
                                std::uint32_t chipEepromBytes, ImageFormat format) {
  MemoryBuffer* buffer = BufferFor(tab, flash, eeprom);
  if (buffer == nullptr) return {};
  // A size of 0 wraps to 0xFFFFFFFF on purpose: the save then falls back to the highest
  // byte that is not 0xFF.
  const std::uint32_t last = (tab == BufferTab::Flash ? chipFlashBytes : chipEepromBytes) - 1u;
  BufferCommandResult result;
  if (SaveImage(*buffer, path, 0, last, format) == SaveOutcome::Failed) {
    result.log.push_back({LogKind::LogError, path + " not saved."});
  }
  return result;
}

BufferCommandResult ReloadCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                  bool workerBusy) {
  MemoryBuffer* buffer = BufferFor(tab, flash, eeprom);
  if (buffer == nullptr) return {};
  if (workerBusy) return Busy();
  const std::string name = StoredFileName(*buffer);
  if (name.empty()) return {};
  const std::string path = buffer->filePath();
  BufferCommandResult result;
  result.refillView = true;
  const ImageLoadResult loaded = LoadImage(*buffer, path);
  if (loaded.count != 0) {
    result.log.push_back({LogKind::LogInfo, name + " reloaded"});
    if (!loaded.warning.empty()) result.log.push_back({LogKind::LogWarning, loaded.warning});
  } else if (!loaded.error.empty()) {
    result.log.push_back({LogKind::LogError, loaded.error});
  } else {
    result.log.push_back({LogKind::LogError, "Reload ERROR. File '" + name + "' not found"});
  }
  return result;
}

}  // namespace bq
