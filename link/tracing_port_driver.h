#pragma once
// A port driver that hands out the connections of another driver and reports every byte
// written and read, for a person debugging a cable ("-> 48 56 10 00 01 04").

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

class TracingPortDriver : public PortDriver {
 public:
  using Trace = std::function<void(const std::string& line)>;
  TracingPortDriver(std::shared_ptr<PortDriver> inner, Trace trace)
      : inner_(std::move(inner)), trace_(std::move(trace)) {}

  bool Handles(const std::string& name) const override { return inner_->Handles(name); }
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override;
  std::string LastOpenError() const override { return inner_->LastOpenError(); }
  std::string Describe(const std::string& name) const override { return inner_->Describe(name); }
  std::vector<std::string> Enumerate() override { return inner_->Enumerate(); }

 private:
  std::shared_ptr<PortDriver> inner_;
  Trace trace_;
};

// "48 56 10 00 01 04"
std::string HexBytes(const std::uint8_t* data, std::size_t n);

}  // namespace bq
