#pragma once
// The commands of brindlequartz-cli that talk to the programmer.

#include <string>
#include <vector>

namespace bq::cli {

// args: the words after the program name, without --partlist and its value.
// Returns the process exit status.
int RunChipCommand(const std::vector<std::string>& args, const std::string& partlistPath);

}  // namespace bq::cli
