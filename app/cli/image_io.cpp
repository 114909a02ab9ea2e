#include "app/cli/image_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/cli/cli_output.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace bq::cli {

namespace {
void BinaryMode(std::FILE* stream) {
#ifdef _WIN32
  _setmode(_fileno(stream), _O_BINARY);  // no CR LF translation of image bytes
#else
  (void)stream;
#endif
}
}  // namespace

ImageLoadResult LoadCliImage(MemoryBuffer& buffer, const std::string& file, ImageFormat format) {
  if (file != "-") return LoadImage(buffer, file, format);
  BinaryMode(stdin);
  std::string bytes;
  char block[65536];
  std::size_t got = 0;
  // A little more than the largest image is enough to tell that it is too large.
  while ((got = std::fread(block, 1, sizeof block, stdin)) > 0 && bytes.size() < (64u << 20)) {
    bytes.append(block, got);
  }
  return LoadImageBytes(buffer, bytes, format, "-");
}

SaveOutcome SaveCliImage(MemoryBuffer& buffer, const std::string& file, std::uint32_t first,
                         std::uint32_t last, ImageFormat format, std::string* why) {
  if (file != "-") return SaveImage(buffer, file, first, last, format, why);
  std::string bytes;
  const SaveOutcome outcome = FormatImage(buffer, first, last, format, bytes);
  if (outcome != SaveOutcome::Written) return outcome;
  BinaryMode(stdout);
  errno = 0;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && FlushOutput();
  if (!written && why != nullptr) *why = errno != 0 ? std::strerror(errno) : "write error";
  return written ? SaveOutcome::Written : SaveOutcome::Failed;
}

}  // namespace bq::cli
