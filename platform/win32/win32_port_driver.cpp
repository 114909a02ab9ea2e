#include "platform/win32/win32_port_driver.h"

#include "platform/win32/line_settings.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace bq {
namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

class Win32Connection : public SerialConnection {
 public:
  explicit Win32Connection(HANDLE handle) : handle_(handle) {}
  ~Win32Connection() override { ::CloseHandle(handle_); }
  Win32Connection(const Win32Connection&) = delete;
  Win32Connection& operator=(const Win32Connection&) = delete;

  void DiscardInput() override { ::PurgeComm(handle_, PURGE_RXCLEAR); }
  bool SendBreak(int ms) override {
    ::FlushFileBuffers(handle_);  // what was written goes out first
    if (!::SetCommBreak(handle_)) return false;
    ::Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms));
    return ::ClearCommBreak(handle_) != 0;
  }
  bool MayRestartDeviceOnOpen() const override { return true; }  // DTR goes up on open
  bool SetRate(std::uint32_t baud) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) return false;
    ::FlushFileBuffers(handle_);  // what was written goes out at the old rate
    dcb.BaudRate = baud;          // the CBR_ constants are the rates themselves
    return ::SetCommState(handle_, &dcb) != 0;
  }

  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (n > MAXDWORD) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(handle_, data, static_cast<DWORD>(n), &written, nullptr);
    return ok && written == n;
  }

  long Read(std::uint8_t* data, std::size_t n) override {
    if (n > MAXDWORD) return -1;
    DWORD got = 0;
    // The port's time-outs end the read: a count below n is a time-out, not a failure.
    if (!::ReadFile(handle_, data, static_cast<DWORD>(n), &got, nullptr)) return -1;
    return static_cast<long>(got);
  }
  long ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) override {
    COMMTIMEOUTS usual{};
    if (!::GetCommTimeouts(handle_, &usual)) return Read(data, n);
    COMMTIMEOUTS shorter = usual;
    shorter.ReadTotalTimeoutMultiplier = 0;
    shorter.ReadTotalTimeoutConstant = static_cast<DWORD>(totalMs);
    ::SetCommTimeouts(handle_, &shorter);
    const long got = Read(data, n);
    ::SetCommTimeouts(handle_, &usual);
    return got;
  }

 private:
  HANDLE handle_;
};

// Closes a registry key when it goes out of scope.
class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() { ::RegCloseKey(key_); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY key_;
};

// The system's message for an error code, in UTF-8, without the line end it comes with.
std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text != nullptr) {
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      out.resize(static_cast<std::size_t>(bytes));
      ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr,
                            nullptr);
    }
  }
  if (text != nullptr) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  if (out.empty()) out = "system error " + std::to_string(error);
  return out;
}

std::string OpenFailureText(const std::string& name, DWORD error) {
  std::string text = name + ": " + SystemMessage(error);
  const char* hint = nullptr;
  // A COM port that exists but is held by another program answers "access denied".
  if (error == ERROR_ACCESS_DENIED) hint = "Is another program using the port?";
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    hint = "Is the programmer plugged in?";
  }
  if (hint != nullptr) text += (text.back() == '.' ? " " : ". ") + std::string(hint);
  return text;
}

}  // namespace

std::string Win32PortDriver::LastOpenError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastOpenError_;
}

bool Win32PortDriver::Handles(const std::string& name) const {
  return !name.empty() && !(name == "sim" || name.rfind("sim:", 0) == 0);
}

std::string Win32PortDriver::DevicePath(const std::string& name) {
  if (name.rfind("\\\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

std::unique_ptr<SerialConnection> Win32PortDriver::Open(const std::string& name) {
  return OpenAt(name, LineSettings{});
}

std::unique_ptr<SerialConnection> Win32PortDriver::OpenAt(const std::string& name,
                                                          const LineSettings& line) {
  auto failed = [this](std::string why) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastOpenError_ = std::move(why);
    return nullptr;
  };
  if (name.empty()) return failed("no port name given");
  if (const std::string problem = LineSettingsProblem(line); !problem.empty()) {
    return failed(name + ": " + problem);
  }
  const std::string path = DevicePath(name);
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return failed(OpenFailureText(name, ::GetLastError()));
  {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastOpenError_.clear();
  }
  auto connection = std::make_unique<Win32Connection>(handle);

  // Speed, framing and binary mode change; the hardware handshake stays as the port had it.
  // At the default line a port that refuses still gets its chance to answer; a line asked
  // for must be set, or the programmer would be spoken to at a rate it does not listen at.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool plain = line == LineSettings{.protocol = line.protocol};
  if (::GetCommState(handle, &dcb)) {
    DCB wanted = ProgrammerLineSettings(dcb, line);
    if (!::SetCommState(handle, &wanted) && !plain) {
      return failed(name + ": the line settings cannot be set: " + SystemMessage(::GetLastError()));
    }
  } else if (!plain) {
    return failed(name + ": the line settings cannot be read: " + SystemMessage(::GetLastError()));
  }

  // A read of n bytes ends when n bytes arrived, after a 50 ms gap between two bytes, or
  // after 2000 + 50 * n ms. The write time-outs stay as found.
  COMMTIMEOUTS timeouts{};
  if (::GetCommTimeouts(handle, &timeouts)) {
    timeouts.ReadIntervalTimeout = SerialTimeouts::kInterByteMs;
    timeouts.ReadTotalTimeoutMultiplier = SerialTimeouts::kTotalPerByteMs;
    timeouts.ReadTotalTimeoutConstant = SerialTimeouts::kTotalConstantMs;
    ::SetCommTimeouts(handle, &timeouts);
  }
  return connection;
}

std::vector<SerialCommValue> Win32PortDriver::ReadSerialCommValues() {
  std::vector<SerialCommValue> values;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  KeyCloser closer(key);

  // The presets stand only when the query fails.
  DWORD count = 0;
  DWORD longestName = 1638;
  DWORD largestData = 16383;
  ::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                     &longestName, &largestData, nullptr, nullptr);

  std::vector<char> name;
  std::vector<BYTE> data;
  try {
    name.assign(std::size_t{longestName} + 1, 0);
    data.assign(std::size_t{largestData} + 1, 0);
  } catch (const std::bad_alloc&) {
    return values;
  }

  for (DWORD index = 0; index < count; ++index) {
    // The name buffer's full size leaves room for the terminating zero; the data
    // buffer keeps one byte back so the string read always ends inside it.
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size() - 1);
    if (::RegEnumValueA(key, index, name.data(), &nameLength, nullptr, nullptr, data.data(),
                        &dataSize) != ERROR_SUCCESS) {
      continue;
    }
    const char* text = reinterpret_cast<const char*>(data.data());
    values.push_back(
        {std::string(name.data(), nameLength), std::string(text, ::strnlen(text, dataSize))});
  }
  return values;
}

std::vector<std::string> Win32PortDriver::Enumerate() {
  return OfferedSerialPorts(ReadSerialCommValues());
}

}  // namespace bq
