#pragma once
// firmware install: puts our firmware image onto a stock Arduino board through its bootloader.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_output.h"

namespace bq::cli {

struct FirmwareInstallOptions {
  std::string port;
  std::string board;                 // "uno" or "mega"
  std::optional<std::string> image;  // default: the image shipped for the board
};

// Where the image shipped for a board is looked for, in order: firmware/ next to the program,
// ../share/brindlequartz/firmware/ beside it (installed), and the build tree's firmware/
// folder (the program at app/cli/ of a build folder).
std::vector<std::filesystem::path> FirmwareImagePlaces(
    const std::filesystem::path& executableFolder, const std::string& board);

// Returns the exit status.
int RunFirmwareInstall(const FirmwareInstallOptions& options, Printer& out);

}  // namespace bq::cli
