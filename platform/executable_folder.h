#pragma once
// The folder of the running program, for finding files installed beside it or relative to it.
// Implemented once per system (platform/posix, platform/win32).

#include <filesystem>

namespace bq {

// Absolute, links resolved; empty when the system cannot tell.
std::filesystem::path ExecutableFolder();

}  // namespace bq
