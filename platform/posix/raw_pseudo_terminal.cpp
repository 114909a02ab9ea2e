#include "platform/posix/raw_pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace bq {
namespace {

bool MakeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

bool OpenRawPseudoTerminal(RawPseudoTerminal& pty) {
  pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::array<char, 128> name{};
  if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0 ||
      ::ptsname_r(pty.master, name.data(), name.size()) != 0) {
    CloseRawPseudoTerminal(pty);
    return false;
  }
  pty.slavePath = name.data();
  pty.slaveKeep = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty.slaveKeep < 0 || !MakeRaw(pty.slaveKeep)) {
    CloseRawPseudoTerminal(pty);
    return false;
  }
  ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool LinkToDevice(const std::string& link, const std::string& device, std::string& error) {
  char existing[4096];
  if (::readlink(link.c_str(), existing, sizeof existing) >= 0) ::unlink(link.c_str());
  if (::symlink(device.c_str(), link.c_str()) == 0) return true;
  error = "cannot create the link " + link + ": " + std::strerror(errno);
  return false;
}

void CloseRawPseudoTerminal(RawPseudoTerminal& pty) {
  if (pty.slaveKeep >= 0) ::close(pty.slaveKeep);
  if (pty.master >= 0) ::close(pty.master);
  pty = RawPseudoTerminal{};
}

}  // namespace bq
