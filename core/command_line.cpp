#include "core/command_line.h"

namespace bq {

#ifndef _WIN32
// Windows builds take this function from platform/win32, which reads the wide command line.
std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) args.emplace_back(argv[i]);
  return args;
}
#endif

}  // namespace bq
