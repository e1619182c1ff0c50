// Errors of the device link: the faults of the exchange (platform/fault.h), the exception that
// carries the range errors of a caller's mistake, and the sink through which the exchange
// reports.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::link {

using platform::ErrorNumber;
using platform::Fault;
using platform::toString;

/// A range error raised where the protocol rules forbid a value; it reaches the caller.
class LinkError : public std::runtime_error {
  public:
    explicit LinkError(ErrorNumber number);

    [[nodiscard]] const Fault& fault() const { return fault_; }

  private:
    Fault fault_;
};

/// Receives the exchange's faults (shown to the user as "<number> - <text>").
class ErrorSink {
  public:
    virtual ~ErrorSink() = default;
    virtual void reportError(const Fault& fault) = 0;
};

}  // namespace korvath::link
