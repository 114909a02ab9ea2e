#include "drivers/stk500v1/stk500v1_wire.h"

#include <chrono>
#include <thread>

namespace bq::stk500v1 {

std::string ExchangeStatusText(ExchangeStatus status) {
  switch (status) {
    case ExchangeStatus::Ok:
      return "ok";
    case ExchangeStatus::WriteFailed:
      return "the command could not be sent to the programmer";
    case ExchangeStatus::NoAnswer:
      return "the programmer did not answer (is it an STK500 version 1 programmer, such as an "
             "Arduino as ISP, and at this baud rate?)";
    case ExchangeStatus::NoSync:
      return "the programmer is out of step (it answered NOSYNC)";
    case ExchangeStatus::NotInSync:
      return "the programmer's answer is not an STK500 version 1 answer";
    case ExchangeStatus::Short:
      return "the programmer's answer stopped before its end";
    case ExchangeStatus::Failed:
      return "the programmer could not carry out the command";
    case ExchangeStatus::NoDevice:
      return "the programmer was not told the device first";
    case ExchangeStatus::Unknown:
      return "the programmer does not know the command";
    case ExchangeStatus::BadEnd:
      return "the programmer's answer does not end with OK";
  }
  return "unknown";
}

ExchangeStatus Link::Exchange(const std::vector<std::uint8_t>& command, std::size_t answerBytes,
                              std::vector<std::uint8_t>& data, int timeoutMs) {
  data.clear();
  std::vector<std::uint8_t> message = command;
  message.push_back(kEop);
  if (!connection_.Write(message.data(), message.size())) return ExchangeStatus::WriteFailed;
  std::uint8_t first = 0;
  const long got = connection_.ReadWithin(&first, 1, timeoutMs);
  if (got <= 0) return ExchangeStatus::NoAnswer;
  if (first == kNoSync) return ExchangeStatus::NoSync;
  if (first == kUnknown) return ExchangeStatus::Unknown;
  if (first != kInSync) return ExchangeStatus::NotInSync;
  // Data, then the status. A failure may come where the data would: look at each byte only
  // when the whole answer arrived.
  std::vector<std::uint8_t> rest(answerBytes + 1);
  std::size_t have = 0;
  while (have < rest.size()) {
    const long n = connection_.Read(rest.data() + have, rest.size() - have);
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have == 0) return ExchangeStatus::Short;
  if (have < rest.size()) {
    // INSYNC FAILED / NODEVICE / UNKNOWN in place of data.
    if (rest[have - 1] == kFailed) return ExchangeStatus::Failed;
    if (rest[have - 1] == kNoDevice) return ExchangeStatus::NoDevice;
    if (rest[have - 1] == kUnknown) return ExchangeStatus::Unknown;
    return ExchangeStatus::Short;
  }
  const std::uint8_t status = rest[answerBytes];
  if (status == kFailed) return ExchangeStatus::Failed;
  if (status == kNoDevice) return ExchangeStatus::NoDevice;
  if (status != kOk) return ExchangeStatus::BadEnd;
  data.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(answerBytes));
  return ExchangeStatus::Ok;
}

bool Link::Sync(int timeoutMs) {
  // Longer than a byte takes at any rate these programmers use (0.5 ms at 19200 baud).
  constexpr int kQuietMs = 20;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<std::uint8_t> data;
  do {
    // Answers still on their way are let in and dropped first: every sync answer looks
    // alike, so one that came late would answer the next sync, and from then on every
    // command would get the answer of the one before it.
    std::uint8_t late[64];
    while (connection_.ReadWithin(late, sizeof late, kQuietMs) > 0) {
    }
    connection_.DiscardInput();
    if (Exchange({kGetSync}, 0, data, 200) == ExchangeStatus::Ok) {
      // A second sync in a row: the first answer may have met bytes of an earlier one.
      connection_.DiscardInput();
      if (Exchange({kGetSync}, 0, data, 500) == ExchangeStatus::Ok) return true;
    }
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

}  // namespace bq::stk500v1
