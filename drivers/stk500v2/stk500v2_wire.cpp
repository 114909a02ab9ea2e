#include "drivers/stk500v2/stk500v2_wire.h"

#include <chrono>

namespace bq::stk500v2 {

std::vector<std::uint8_t> Frame(std::uint8_t sequence, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> message{kMessageStart, sequence,
                                    static_cast<std::uint8_t>(body.size() >> 8),
                                    static_cast<std::uint8_t>(body.size() & 0xFF), kToken};
  message.insert(message.end(), body.begin(), body.end());
  std::uint8_t sum = 0;
  for (std::uint8_t b : message) sum ^= b;
  message.push_back(sum);
  return message;
}

std::string ExchangeStatusText(ExchangeStatus status) {
  switch (status) {
    case ExchangeStatus::Ok:
      return "ok";
    case ExchangeStatus::WriteFailed:
      return "the message could not be sent to the programmer";
    case ExchangeStatus::NoAnswer:
      return "the programmer did not answer (is it an STK500 version 2 programmer, and at this "
             "baud rate?)";
    case ExchangeStatus::Garbage:
      return "the programmer's answer is not an STK500 version 2 message";
    case ExchangeStatus::BadChecksum:
      return "the programmer's answer has a wrong checksum (a disturbed line?)";
    case ExchangeStatus::BadSequence:
      return "the programmer answered another message than the one sent";
    case ExchangeStatus::Short:
      return "the programmer's answer stopped before its end";
    case ExchangeStatus::ChecksumRefused:
      return "the programmer received our message with a wrong checksum (a disturbed line?)";
  }
  return "unknown";
}

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ExchangeStatus Link::Exchange(const std::vector<std::uint8_t>& body,
                              std::vector<std::uint8_t>& answer, int timeoutMs) {
  answer.clear();
  const std::uint8_t sequence = sequence_++;
  const std::vector<std::uint8_t> message = Frame(sequence, body);
  if (!connection_.Write(message.data(), message.size())) return ExchangeStatus::WriteFailed;

  // Skip what is not a message start: a board may print a few bytes as it starts.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint8_t byte = 0;
  std::size_t skipped = 0;
  for (;;) {
    const int left = MsLeft(deadline);
    if (left == 0) return skipped != 0 ? ExchangeStatus::Garbage : ExchangeStatus::NoAnswer;
    const long got = connection_.ReadWithin(&byte, 1, left);
    if (got < 0) return ExchangeStatus::NoAnswer;
    if (got == 0) continue;
    if (byte == kMessageStart) break;
    if (++skipped > kMaxBody) return ExchangeStatus::Garbage;
  }
  std::uint8_t header[4];
  if (connection_.Read(header, sizeof header) != static_cast<long>(sizeof header)) {
    return ExchangeStatus::Short;
  }
  const std::size_t size = (std::size_t{header[1]} << 8) | header[2];
  if (header[3] != kToken || size == 0 || size > kMaxBody) return ExchangeStatus::Garbage;
  std::vector<std::uint8_t> rest(size + 1);
  std::size_t have = 0;
  while (have < rest.size()) {
    const long got = connection_.Read(rest.data() + have, rest.size() - have);
    if (got <= 0) return ExchangeStatus::Short;
    have += static_cast<std::size_t>(got);
  }
  std::uint8_t sum = kMessageStart ^ header[0] ^ header[1] ^ header[2] ^ header[3];
  for (std::size_t i = 0; i < size; ++i) sum ^= rest[i];
  if (sum != rest[size]) return ExchangeStatus::BadChecksum;
  if (rest[0] == kAnswerChecksumError) return ExchangeStatus::ChecksumRefused;
  if (header[0] != sequence) return ExchangeStatus::BadSequence;
  answer.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(size));
  return ExchangeStatus::Ok;
}

}  // namespace bq::stk500v2
