// Errors of the device link: the faults of the exchange (platform/fault.h), the exception for
// a caller that broke a contract, and the sink through which the exchange reports.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::link {

using platform::ErrorNumber;
using platform::Fault;
using platform::toString;

/// Thrown only for a caller's mistake: a frame or a sector number the protocol has no room
/// for, which no input of a user can produce. Failures of the line travel as a Fault.
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
