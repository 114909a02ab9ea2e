#include "link/bootloader_stk500.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace bq {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The bootloader listens for about a second after the reset: a try every 250 ms for 2 s
// covers it even when the reset comes late.
constexpr int kSyncTries = 8;
constexpr int kSyncWaitMs = 250;

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

bool ReadExact(SerialConnection& link, std::uint8_t* data, std::size_t n) {
  const long got = link.Read(data, n);
  return got >= 0 && static_cast<std::size_t>(got) == n;
}

// One bootloader conversation; each step returns false with error() set.
class Conversation {
 public:
  explicit Conversation(SerialConnection& link) : link_(link) {}
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
  SerialConnection& link_;
  std::string error_;
};

// STK500 version 1: command bytes, Sync_CRC_EOP; answer Insync, data, OK.
class Stk500v1 : public Conversation {
 public:
  using Conversation::Conversation;

  bool Connect() override {
    const std::uint8_t sync[] = {stk500::kGetSync, stk500::kEop};
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
      link_.DiscardInput();
      if (!link_.Write(sync, sizeof sync)) return Fail("the port did not take the bytes written");
      std::uint8_t answer[2] = {};
      if (link_.ReadWithin(answer, 2, kSyncWaitMs) == 2 && answer[0] == stk500::kInSync &&
          answer[1] == stk500::kOk) {
        // A late answer to an earlier try may still come: let it, drop it, and check the
        // line is in step with one more exchange.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link_.DiscardInput();
        return Command({stk500::kGetSync}, 0, nullptr, "get in sync");
      }
    }
    return Fail("the bootloader did not answer (" + std::to_string(kSyncTries) + " tries)");
  }

  bool ReadSignature(std::uint32_t& signature) override {
    std::uint8_t s[3] = {};
    if (!Command({stk500::kReadSign}, 3, s, "read the signature")) return false;
    signature = std::uint32_t{s[0]} << 16 | std::uint32_t{s[1]} << 8 | s[2];
    return true;
  }
  bool EnterProgramming() override {
    return Command({stk500::kEnterProgMode}, 0, nullptr, "enter programming mode");
  }
  bool WritePage(std::uint32_t address, const std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    Bytes command{stk500::kProgPage, static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n & 0xFF), 'F'};
    command.insert(command.end(), data, data + n);
    return Command(command, 0, nullptr, "write the page at " + Hex(address, 4));
  }
  bool ReadPage(std::uint32_t address, std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    return Command({stk500::kReadPage, static_cast<std::uint8_t>(n >> 8),
                    static_cast<std::uint8_t>(n & 0xFF), 'F'},
                   n, data, "read the page at " + Hex(address, 4));
  }
  bool Leave() override {
    return Command({stk500::kLeaveProgMode}, 0, nullptr, "leave programming mode");
  }

 private:
  bool LoadAddress(std::uint32_t address) {
    const std::uint32_t word = address / 2;
    return Command({stk500::kLoadAddress, static_cast<std::uint8_t>(word & 0xFF),
                    static_cast<std::uint8_t>(word >> 8)},
                   0, nullptr, "set the address " + Hex(address, 4));
  }

  bool Command(Bytes command, std::size_t answerBytes, std::uint8_t* answer,
               const std::string& what) {
    command.push_back(stk500::kEop);
    if (!link_.Write(command.data(), command.size())) {
      return Fail("could not " + what + ": the port did not take the bytes written");
    }
    Bytes in(answerBytes + 2);
    const long got = link_.Read(in.data(), in.size());
    if (got < 0) return Fail("could not " + what + ": the port failed");
    if (got == 0) return Fail("could not " + what + ": the bootloader did not answer");
    if (in[0] != stk500::kInSync) {
      return Fail("could not " + what + ": the bootloader answered " + Hex(in[0], 2) +
                  " instead of being in step (" + Hex(stk500::kInSync, 2) + ")");
    }
    if (static_cast<std::size_t>(got) < in.size() || in.back() != stk500::kOk) {
      return Fail("could not " + what + ": the bootloader's answer was cut short");
    }
    if (answer != nullptr) std::copy_n(in.begin() + 1, answerBytes, answer);
    return true;
  }
};

// STK500 version 2: messages with a sequence number and a checksum.
class Stk500v2 : public Conversation {
 public:
  Stk500v2(SerialConnection& link, const BoardBootloader& board)
      : Conversation(link), board_(board) {}

  bool Connect() override {
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
      link_.DiscardInput();
      Bytes answer;
      if (!Send({stk500::kSignOn})) return false;
      if (Receive(answer, kSyncWaitMs) && answer.size() >= 2 && answer[0] == stk500::kSignOn &&
          answer[1] == stk500::kStatusOk) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link_.DiscardInput();
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
      if (!Command({stk500::kReadSignatureIsp, 4, kIspReadSignature, 0, i, 0}, answer,
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
    return Command({stk500::kEnterProgModeIsp, 200, 100, 25, 32, 0, 0x53, 3, 0xAC, 0x53, 0, 0},
                   answer, "enter programming mode");
  }
  bool WritePage(std::uint32_t address, const std::uint8_t* data, std::uint32_t n) override {
    if (!LoadAddress(address)) return false;
    // Mode 0xC1: page mode, ready/busy polling, write the page at the end; delay 10 ms.
    Bytes command{stk500::kProgramFlashIsp,
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
    if (!Command({stk500::kReadFlashIsp, static_cast<std::uint8_t>(n >> 8),
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
    return Command({stk500::kLeaveProgModeIsp, 1, 1}, answer, "leave programming mode");
  }

 private:
  bool LoadAddress(std::uint32_t address) {
    std::uint32_t word = address / 2;
    // Bit 31 tells the bootloader the part has more than 64 K words (its extended address).
    if (board_.flashBytes > 128u * 1024u) word |= 0x80000000u;
    Bytes answer;
    return Command({stk500::kLoadAddress2, static_cast<std::uint8_t>(word >> 24),
                    static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8),
                    static_cast<std::uint8_t>(word)},
                   answer, "set the address " + Hex(address, 5));
  }

  bool Needs(const Bytes& answer, std::size_t n, const std::string& what) {
    if (answer.size() >= n) return true;
    return Fail("could not " + what + ": the bootloader's answer was cut short");
  }

  bool Command(const Bytes& body, Bytes& answer, const std::string& what) {
    if (!Send(body)) return Fail("could not " + what + ": " + error_);
    if (!Receive(answer, 0)) return Fail("could not " + what + ": " + error_);
    if (answer.size() < 2 || answer[0] != body[0]) {
      return Fail("could not " + what + ": the bootloader answered another command");
    }
    if (answer[1] != stk500::kStatusOk) {
      return Fail("could not " + what + ": the bootloader refused it (status " + Hex(answer[1], 2) +
                  ")");
    }
    return true;
  }

  bool Send(const Bytes& body) {
    ++sequence_;
    Bytes m{stk500::kMessageStart, sequence_, static_cast<std::uint8_t>(body.size() >> 8),
            static_cast<std::uint8_t>(body.size() & 0xFF), stk500::kToken};
    m.insert(m.end(), body.begin(), body.end());
    std::uint8_t sum = 0;
    for (std::uint8_t b : m) sum ^= b;
    m.push_back(sum);
    if (!link_.Write(m.data(), m.size())) return Fail("the port did not take the bytes written");
    return true;
  }

  // One answer message; waitMs > 0 gives up on its start after that long.
  bool Receive(Bytes& body, int waitMs) {
    std::uint8_t head[5] = {};
    const long got = waitMs > 0 ? link_.ReadWithin(head, 5, waitMs) : link_.Read(head, 5);
    if (got < 0) return Fail("the port failed");
    if (got == 0) return Fail("the bootloader did not answer");
    if (got < 5 || head[0] != stk500::kMessageStart || head[4] != stk500::kToken) {
      return Fail("the bootloader's answer did not start as a message does");
    }
    if (head[1] != sequence_) return Fail("the bootloader answered an earlier message");
    const std::size_t size = std::size_t{head[2]} << 8 | head[3];
    Bytes rest(size + 1);
    if (!ReadExact(link_, rest.data(), rest.size())) {
      return Fail("the bootloader's answer was cut short");
    }
    std::uint8_t sum = 0;
    for (std::uint8_t b : head) sum ^= b;
    for (std::uint8_t b : rest) sum ^= b;
    if (sum != 0) return Fail("the bootloader's answer has a wrong checksum");
    body.assign(rest.begin(), rest.end() - 1);
    return true;
  }

  const BoardBootloader& board_;
  std::uint8_t sequence_ = 0;
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
