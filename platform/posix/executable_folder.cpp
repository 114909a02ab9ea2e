#include "platform/executable_folder.h"

#include <system_error>

#ifdef __APPLE__
#include <mach-o/dyld.h>

#include <cstdint>
#include <vector>
#endif

namespace bq {

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  const std::filesystem::path program = std::filesystem::canonical(buffer.data(), ec);
#else
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
  if (ec || program.empty()) return {};
  return program.parent_path();
}

}  // namespace bq
