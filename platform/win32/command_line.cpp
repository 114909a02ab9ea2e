// The Windows part of CommandLineUtf8: the wide command line, split as the C runtime splits
// it, converted to UTF-8.

#include "core/command_line.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include "core/utf8_path.h"

namespace bq {

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    // Out of memory: the ANSI arguments are better than none.
    for (int i = 0; i < argc && argv != nullptr; ++i) args.emplace_back(argv[i]);
    return args;
  }
  for (int i = 0; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace bq
