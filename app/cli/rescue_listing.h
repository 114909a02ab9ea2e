#pragma once
// brindlequartz-cli parts --rescue: what the rescue brings back on every part of the list, by
// build, as the Markdown table docs/hardware.md carries.

#include <optional>
#include <string>

namespace bq::cli {

// Prints the table to stdout; returns the exit status.
int CmdPartsRescue(const std::optional<std::string>& partlist);

}  // namespace bq::cli
