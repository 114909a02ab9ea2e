#pragma once
// Usage errors with the nearest valid name: "unknown command 'reed'; did you mean read?".

#include <CLI/CLI.hpp>

namespace bq::cli {

// Prints a short error for a command line CLI11 refused, with a suggestion where a word is
// close to a valid command or option, and returns the exit status for usage errors.
int ReportUsageError(CLI::App& app, const CLI::ParseError& error, int argc, char** argv);

}  // namespace bq::cli
