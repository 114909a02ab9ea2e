#include "drivers/stk500/bootloader_install.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "drivers/stk500v1/stk500v1_wire.h"
#include "drivers/stk500v2/stk500v2_wire.h"

namespace bq {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The bootloader listens for about a second after the reset: a try every 250 ms for 2 s
// covers it even when the reset comes late.
constexpr int kSyncTries = 8;
constexpr int kSyncWaitMs = 250;
// A page write or read takes a few milliseconds on the board; an answer later than this
// will not come.
constexpr int kAnswerWaitMs = 2000;

// ISP instructions of the AVR serial programming set that a version 2 bootloader takes as the
// commands of its flash requests: Load Program Memory Page (low byte), Write Program Memory
// Page, Read Program Memory (low byte), Read Signature Byte.
constexpr std::uint8_t kIspLoadPageLow = 0x40;
constexpr std::uint8_t kIspWritePage = 0x4C;
constexpr std::uint8_t kIspReadLow = 0x20;
constexpr std::uint8_t kIspReadSignature = 0x30;

constexpr BoardBootloader kBoards[] = {
    // The Uno's bootloader takes the last 512 bytes; the Nano's older one 2 KiB, which then
    // refuses to be overwritten and the verify reports it.
    {"uno", "Arduino Uno / Nano", "ATmega328P", BootloaderProtocol::kStk500v1, 0x1E950F, 128,
     32 * 1024, 32 * 1024 - 512},
    {"mega", "Arduino Mega 2560", "ATmega2560", BootloaderProtocol::kStk500v2, 0x1E9801, 256,
     256 * 1024, 256 * 1024 - 8 * 1024},
};

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

// One bootloader conversation; each step returns false with error() set.
class Conversation {
 public:
  virtual ~Conversation() = default;
  virtual bool Connect() = 0;
  virtual bool ReadSignature(std::uint32_t& signature) = 0;
  virtual bool EnterProgramming() = 0;
  virtual bool WritePage(std::uint32_t address, const std::uint8_t* data, std::uint32_t n) = 0;
  virtual bool ReadPage(std::uint32_t address, std::uint8_t* data, std::uint32_t n) = 0;
  virtual bool Leave() = 0;
  const std::string& error() const { return error_; }

 protected:
  bool Fail(std::string text) {
    error_ = std::move(text);
    return false;
  }
  std::string error_;
};

// STK500 version 1: command bytes, Sync_CRC_EOP; answer Insync, data, OK.
class Stk500v1 : public Conversation {
 public:
  explicit Stk500v1(SerialConnection& connection) : connection_(connection), link_(connection) {}

  bool Connect() override {
    std::vector<std::uint8_t> data;
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
      connection_.DiscardInput();
      const stk500v1::ExchangeStatus status =
          link_.Exchange({stk500v1::kGetSync}, 0, data, kSyncWaitMs);
      if (status == stk500v1::ExchangeStatus::WriteFailed) {
        return Fail("the port did not take the bytes written");
      }
      if (status == stk500v1::ExchangeStatus::Ok) {
        // A late answer to an earlier try may still come: let it, drop it, and check the
        // line is in step with one more exchange.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        connection_.DiscardInput();
        return Command({stk500v1::kGetSync}, 0, nullptr, "get in sync");
      }
    }
    return Fail("the bootloader did not answer (" + std::to_string(kSyncTries) + " tries)");
  }

  bool ReadSignature(std::uint32_t& signature) override {
    std::uint8_t s[3] = {};
    if (!Command({stk500v1::kReadSign}, 3, s, "read the signature")) return false;
    signature = std::uint32_t{s[0]} << 16 | std::uint32_t{s[1]} << 8 | s[2];
    return true;
  }
  bool EnterProgramming() override {
    return Command({stk500v1::kEnterProgMode}, 0, nullptr, "enter programming mode");
  }
  bool WritePage(std::uint32_t address, const std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    Bytes command{stk500v1::kProgPage, static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n & 0xFF), 'F'};
    command.insert(command.end(), data, data + n);
    return Command(command, 0, nullptr, "write the page at " + Hex(address, 4));
  }
  bool ReadPage(std::uint32_t address, std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    return Command({stk500v1::kReadPage, static_cast<std::uint8_t>(n >> 8),
                    static_cast<std::uint8_t>(n & 0xFF), 'F'},
                   n, data, "read the page at " + Hex(address, 4));
  }
  bool Leave() override {
    return Command({stk500v1::kLeaveProgMode}, 0, nullptr, "leave programming mode");
  }

 private:
  bool LoadAddress(std::uint32_t address) {
    const std::uint32_t word = address / 2;
    return Command({stk500v1::kLoadAddress, static_cast<std::uint8_t>(word & 0xFF),
                    static_cast<std::uint8_t>(word >> 8)},
                   0, nullptr, "set the address " + Hex(address, 4));
  }

  bool Command(const Bytes& command, std::size_t answerBytes, std::uint8_t* answer,
               const std::string& what) {
    using stk500v1::ExchangeStatus;
    Bytes data;
    const ExchangeStatus status = link_.Exchange(command, answerBytes, data, kAnswerWaitMs);
    switch (status) {
      case ExchangeStatus::Ok:
        if (answer != nullptr) std::copy_n(data.begin(), answerBytes, answer);
        return true;
      case ExchangeStatus::WriteFailed:
        return Fail("could not " + what + ": the port did not take the bytes written");
      case ExchangeStatus::NoAnswer:
        return Fail("could not " + what + ": the bootloader did not answer");
      case ExchangeStatus::NoSync:
      case ExchangeStatus::NotInSync:
        return Fail("could not " + what + ": the bootloader is out of step (its answer did " +
                    "not start with " + Hex(stk500v1::kInSync, 2) + ")");
      case ExchangeStatus::Failed:
      case ExchangeStatus::NoDevice:
        return Fail("could not " + what + ": the bootloader refused it");
      case ExchangeStatus::Unknown:
        return Fail("could not " + what + ": the bootloader does not know the command");
      case ExchangeStatus::Short:
      case ExchangeStatus::BadEnd:
        break;
    }
    return Fail("could not " + what + ": the bootloader's answer was cut short");
  }

  SerialConnection& connection_;
  stk500v1::Link link_;
};

// STK500 version 2: messages with a sequence number and a checksum.
class Stk500v2 : public Conversation {
 public:
  Stk500v2(SerialConnection& connection, const BoardBootloader& board)
      : connection_(connection), link_(connection), board_(board) {}

  bool Connect() override {
    Bytes answer;
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
      connection_.DiscardInput();
      const stk500v2::ExchangeStatus status =
          link_.Exchange({stk500v2::kSignOn}, answer, kSyncWaitMs);
      if (status == stk500v2::ExchangeStatus::WriteFailed) {
        return Fail("the port did not take the bytes written");
      }
      if (status == stk500v2::ExchangeStatus::Ok && answer.size() >= 2 &&
          answer[0] == stk500v2::kSignOn && answer[1] == stk500v2::kStatusOk) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        connection_.DiscardInput();
        return true;
      }
    }
    return Fail("the bootloader did not answer (" + std::to_string(kSyncTries) + " tries)");
  }

  bool ReadSignature(std::uint32_t& signature) override {
    signature = 0;
    for (std::uint8_t i = 0; i < 3; ++i) {
      Bytes answer;
      // RetAddr 4: the fourth byte of the ISP instruction's answer is the signature byte.
      if (!Command({stk500v2::kReadSignatureIsp, 4, kIspReadSignature, 0, i, 0}, answer,
                   "read the signature") ||
          !Needs(answer, 3, "read the signature")) {
        return false;
      }
      signature = signature << 8 | answer[2];
    }
    return true;
  }
  bool EnterProgramming() override {
    Bytes answer;
    // Time-out, stabilisation delay, command delay, sync loops, byte delay, poll value and
    // index, and the Programming Enable instruction: what an ISP programmer needs; a
    // bootloader only answers.
    return Command({stk500v2::kEnterProgModeIsp, 200, 100, 25, 32, 0, 0x53, 3, 0xAC, 0x53, 0, 0},
                   answer, "enter programming mode");
  }
  bool WritePage(std::uint32_t address, const std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    // Mode 0xC1: page mode, ready/busy polling, write the page at the end; delay 10 ms.
    Bytes command{stk500v2::kProgramFlashIsp,
                  static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n & 0xFF),
                  0xC1,
                  10,
                  kIspLoadPageLow,
                  kIspWritePage,
                  kIspReadLow,
                  0xFF,
                  0xFF};
    command.insert(command.end(), data, data + n);
    Bytes answer;
    return Command(command, answer, "write the page at " + Hex(address, 5));
  }
  bool ReadPage(std::uint32_t address, std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    const std::string what = "read the page at " + Hex(address, 5);
    Bytes answer;
    if (!Command({stk500v2::kReadFlashIsp, static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n & 0xFF), kIspReadLow},
                 answer, what) ||
        !Needs(answer, n + 3, what)) {
      return false;
    }
    std::copy_n(answer.begin() + 2, n, data);
    return true;
  }
  bool Leave() override {
    Bytes answer;
    return Command({stk500v2::kLeaveProgModeIsp, 1, 1}, answer, "leave programming mode");
  }

 private:
  bool LoadAddress(std::uint32_t address) {
    std::uint32_t word = address / 2;
    // Bit 31 tells the bootloader the part has more than 64 K words (its extended address).
    if (board_.flashBytes > 128u * 1024u) word |= 0x80000000u;
    Bytes answer;
    return Command({stk500v2::kLoadAddress, static_cast<std::uint8_t>(word >> 24),
                    static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8),
                    static_cast<std::uint8_t>(word)},
                   answer, "set the address " + Hex(address, 5));
  }

  bool Needs(const Bytes& answer, std::size_t n, const std::string& what) {
    if (answer.size() >= n) return true;
    return Fail("could not " + what + ": the bootloader's answer was cut short");
  }

  bool Command(const Bytes& body, Bytes& answer, const std::string& what) {
    using stk500v2::ExchangeStatus;
    const ExchangeStatus status = link_.Exchange(body, answer, kAnswerWaitMs);
    if (status != ExchangeStatus::Ok) {
      connection_.DiscardInput();
      return Fail("could not " + what + ": " + ExchangeText(status));
    }
    if (answer.size() < 2 || answer[0] != body[0]) {
      return Fail("could not " + what + ": the bootloader answered another command");
    }
    if (answer[1] != stk500v2::kStatusOk) {
      return Fail("could not " + what + ": the bootloader refused it (status " + Hex(answer[1], 2) +
                  ")");
    }
    return true;
  }

  static std::string ExchangeText(stk500v2::ExchangeStatus status) {
    using stk500v2::ExchangeStatus;
    switch (status) {
      case ExchangeStatus::WriteFailed:
        return "the port did not take the bytes written";
      case ExchangeStatus::NoAnswer:
        return "the bootloader did not answer";
      case ExchangeStatus::Garbage:
        return "the bootloader's answer did not start as a message does";
      case ExchangeStatus::BadChecksum:
        return "the bootloader's answer has a wrong checksum";
      case ExchangeStatus::BadSequence:
        return "the bootloader answered an earlier message";
      case ExchangeStatus::ChecksumRefused:
        return "the bootloader received the message with a wrong checksum";
      case ExchangeStatus::Short:
      case ExchangeStatus::Ok:
        break;
    }
    return "the bootloader's answer was cut short";
  }

  SerialConnection& connection_;
  stk500v2::Link link_;
  const BoardBootloader& board_;
};

}  // namespace

const BoardBootloader* FindBoardBootloader(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const BoardBootloader& board : kBoards) {
    if (lower == board.name) return &board;
  }
  return nullptr;
}

BootloaderResult InstallThroughBootloader(SerialConnection& link, const BoardBootloader& board,
                                          const std::uint8_t* image, std::size_t size,
                                          const BootloaderLog& log,
                                          const BootloaderProgressCallback& progress) {
  BootloaderResult result;
  auto refuse = [&result](std::string text) {
    result.ok = false;
    result.refused = true;
    result.message = std::move(text);
    return result;
  };
  std::size_t end = size;
  while (end > 0 && image[end - 1] == 0xFF) --end;
  if (end == 0) return refuse("the image holds no data");
  if (end > board.applicationBytes) {
    return refuse("the image reaches " + Hex(static_cast<std::uint32_t>(end - 1), 5) +
                  ", into the bootloader's space from " + Hex(board.applicationBytes, 5) +
                  " of the " + board.title + ": it is not an image for this board");
  }
  const std::uint32_t pages =
      static_cast<std::uint32_t>((end + board.pageBytes - 1) / board.pageBytes);

  std::unique_ptr<Conversation> c;
  if (board.protocol == BootloaderProtocol::kStk500v1) {
    c = std::make_unique<Stk500v1>(link);
  } else {
    c = std::make_unique<Stk500v2>(link, board);
  }
  auto fail = [&result, &c](const std::string& prefix) {
    result.ok = false;
    result.message = prefix + c->error();
    return result;
  };
  log(LogKind::LogInfo,
      std::string("Talking to the bootloader of the ") + board.title +
          (board.protocol == BootloaderProtocol::kStk500v1 ? " (STK500 version 1, 115200 baud)"
                                                           : " (STK500 version 2, 115200 baud)"));
  if (!c->Connect()) {
    result.unanswered = true;
    return fail("");
  }
  std::uint32_t signature = 0;
  if (!c->ReadSignature(signature)) return fail("");
  if (signature != board.signature) {
    result.ok = false;
    result.message = "the board's chip has the signature " + Hex(signature, 6) + ", not the " +
                     board.chip + " (" + Hex(board.signature, 6) + ") of the " + board.title +
                     ": check --board";
    c->Leave();
    return result;
  }
  log(LogKind::LogInfo,
      std::string("Found the ") + board.chip + " (signature " + Hex(signature, 6) + ")");
  if (!c->EnterProgramming()) return fail("");

  log(LogKind::LogInfo, "Writing " + std::to_string(end) + " bytes in " + std::to_string(pages) +
                            " pages of " + std::to_string(board.pageBytes) + " bytes");
  Bytes page(board.pageBytes);
  for (std::uint32_t p = 0; p < pages; ++p) {
    const std::uint32_t address = p * board.pageBytes;
    std::fill(page.begin(), page.end(), 0xFF);
    std::copy_n(image + address, std::min<std::size_t>(board.pageBytes, size - address),
                page.begin());
    if (!c->WritePage(address, page.data(), board.pageBytes)) return fail("");
    if (progress) progress({false, p + 1, pages});
  }
  log(LogKind::LogInfo, "Verifying");
  Bytes back(board.pageBytes);
  for (std::uint32_t p = 0; p < pages; ++p) {
    const std::uint32_t address = p * board.pageBytes;
    if (!c->ReadPage(address, back.data(), board.pageBytes)) return fail("");
    for (std::uint32_t i = 0; i < board.pageBytes; ++i) {
      const std::size_t at = std::size_t{address} + i;
      const std::uint8_t want = at < size ? image[at] : 0xFF;
      if (back[i] != want) {
        result.ok = false;
        result.message = "verification failed at " + Hex(static_cast<std::uint32_t>(at), 5) +
                         ": the flash holds " + Hex(back[i], 2) + ", the image " + Hex(want, 2);
        c->Leave();
        return result;
      }
    }
    if (progress) progress({true, p + 1, pages});
  }
  if (!c->Leave()) return fail("");
  log(LogKind::LogSuccess,
      "Firmware written and verified: " + std::to_string(end) + " bytes on the " + board.title);
  return result;
}

}  // namespace bq
