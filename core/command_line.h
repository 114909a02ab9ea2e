#pragma once
// The program's arguments as UTF-8 text, on every system.

#include <string>
#include <vector>

namespace bq {

// The arguments, program name first, as UTF-8. On Windows they come from the process's wide
// command line (argv holds them in the ANSI code page, where a character outside it, such
// as one of "Jürgen_日本.hex", is already lost), and argc and argv are not used; the
// Windows part lives in platform/win32. Elsewhere they are argv as given.
std::vector<std::string> CommandLineUtf8(int argc, char** argv);

}  // namespace bq
