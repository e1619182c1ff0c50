// Errors of the device link: a closed set of numbers with their descriptions, the exception
// that carries the range errors to the caller, and the sink through which the exchange reports.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace korvath::link {

enum class ErrorNumber : int {
    Overflow = 6,         ///< an 8- or 16-bit result that does not fit
    IndexOutOfRange = 9,  ///< a frame or a reply longer than the protocol allows
    DeviceIo = 57,        ///< the port failed: write or read error, device gone
};

/// The standard description of an error number ("Overflow", "Subscript out of range", ...).
[[nodiscard]] std::string_view toString(ErrorNumber number);

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
