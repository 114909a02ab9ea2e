#include "app/cli/rescue_listing.h"

#include <cstdio>

#include "app/cli/chip_commands.h"
#include "app/cli/cli_output.h"
#include "parts/part_database.h"
#include "session/rescue_coverage.h"

namespace bq::cli {

int CmdPartsRescue(const std::optional<std::string>& partlist) {
  PartDatabase db;
  std::string source;
  if (!LoadCliPartList(partlist, db, source)) return kExitUsage;
  std::fputs(RescueCoverageMarkdown(db).c_str(), stdout);
  return kExitOk;
}

}  // namespace bq::cli
