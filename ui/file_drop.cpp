// Files dropped onto the main window: the same load as Buffer > Load from file.

#include <string>

#include "image/buffer_commands.h"
#include "core/text.h"
#include "image/image_file.h"
#include "ui/application.h"

namespace bq {

bool Application::AcceptsDroppedFile(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  // Only names that say what they hold: a dropped document of another kind is ignored.
  if (ToUpperAscii(std::string_view(path).substr(dot + 1)) == "ELF") return true;
  return ImageFormatForPath(path) != ImageFormat::Auto;
}

bool Application::AcceptsDropOnCurrentTab(const std::string& path) const {
  return running_ && bufferTab() != BufferTab::Other && AcceptsDroppedFile(path);
}

void Application::LoadDroppedFile(const std::string& path) {
  if (!AcceptsDropOnCurrentTab(path)) return;
  LoadFile(path);
}

}  // namespace bq
