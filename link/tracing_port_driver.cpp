#include "link/tracing_port_driver.h"

namespace bq {

namespace {

class TracingConnection : public SerialConnection {
 public:
  TracingConnection(std::unique_ptr<SerialConnection> inner, TracingPortDriver::Trace trace)
      : inner_(std::move(inner)), trace_(std::move(trace)) {}

  bool Write(const std::uint8_t* data, std::size_t n) override {
    const bool ok = inner_->Write(data, n);
    trace_("-> " + HexBytes(data, n) + (ok ? "" : "  (write failed)"));
    return ok;
  }
  long Read(std::uint8_t* data, std::size_t n) override {
    return Traced(data, n, inner_->Read(data, n));
  }
  long ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) override {
    return Traced(data, n, inner_->ReadWithin(data, n, totalMs));
  }
  void DiscardInput() override { inner_->DiscardInput(); }
  bool SetRate(std::uint32_t baud) override {
    const bool ok = inner_->SetRate(baud);
    trace_("-- line at " + std::to_string(baud) + " baud" + (ok ? "" : "  (failed)"));
    return ok;
  }
  bool MayRestartDeviceOnOpen() const override { return inner_->MayRestartDeviceOnOpen(); }
  bool SendBreak(int ms) override {
    const bool ok = inner_->SendBreak(ms);
    trace_("-> BREAK " + std::to_string(ms) + " ms" + (ok ? "" : "  (failed)"));
    return ok;
  }

 private:
  long Traced(const std::uint8_t* data, std::size_t n, long got) {
    if (got < 0) {
      trace_("<- (port failed)");
    } else if (static_cast<std::size_t>(got) < n) {
      trace_("<- " + HexBytes(data, static_cast<std::size_t>(got)) + "  (" + std::to_string(got) +
             " of " + std::to_string(n) + " bytes before the time-out)");
    } else {
      trace_("<- " + HexBytes(data, n));
    }
    return got;
  }

  std::unique_ptr<SerialConnection> inner_;
  TracingPortDriver::Trace trace_;
};

}  // namespace

std::unique_ptr<SerialConnection> TracingPortDriver::Open(const std::string& name) {
  std::unique_ptr<SerialConnection> inner = inner_->Open(name);
  if (!inner) return nullptr;
  return std::make_unique<TracingConnection>(std::move(inner), trace_);
}

std::unique_ptr<SerialConnection> TracingPortDriver::OpenAt(const std::string& name,
                                                            const LineSettings& line) {
  std::unique_ptr<SerialConnection> inner = inner_->OpenAt(name, line);
  if (!inner) return nullptr;
  return std::make_unique<TracingConnection>(std::move(inner), trace_);
}

std::string HexBytes(const std::uint8_t* data, std::size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

}  // namespace bq
