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
    LinkError(ErrorNumber number, const std::string& description);

    [[nodiscard]] int number() const { return static_cast<int>(number_); }
    [[nodiscard]] ErrorNumber code() const { return number_; }
    [[nodiscard]] std::string description() const { return what(); }

  private:
    ErrorNumber number_;
};

/// Receives the exchange's error reports ("<number> - <description>" for the user).
class ErrorSink {
  public:
    virtual ~ErrorSink() = default;
    virtual void reportError(int number, const std::string& description) = 0;
};

}  // namespace korvath::link
