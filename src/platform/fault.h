// The one way a failure travels between layers: a Fault (an error number from a closed set and
// the text a person reads) inside a Result, which holds either the value or the fault. The
// numbers are the ones users quote from the screen ("57 - Device I/O error: ...").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace korvath::platform {

enum class ErrorNumber : int {
    InvalidArgument = 5,    ///< a value the operation does not take
    Overflow = 6,           ///< an 8- or 16-bit result that does not fit
    IndexOutOfRange = 9,    ///< a frame or a reply longer than the protocol allows
    FileNotFound = 53,      ///< no such file or folder
    DeviceIo = 57,          ///< the port or the disk failed: write or read error, device gone
    DiskFull = 61,          ///< no room left on the device
    PermissionDenied = 70,  ///< the system refused access
    PathFileAccess = 75,    ///< a folder where a file was expected, or another access fault
};

/// The standard description of an error number ("Overflow", "Device I/O error", ...).
[[nodiscard]] std::string_view toString(ErrorNumber number);

struct Fault {
    ErrorNumber number = ErrorNumber::DeviceIo;
    std::string text;  ///< for people; the description of `number` when nothing more is known

    /// "<number> - <text>", as the command line and the log show a fault.
    [[nodiscard]] std::string shown() const;
    friend bool operator==(const Fault&, const Fault&) = default;
};

/// A fault with the standard description of `number` as its text.
[[nodiscard]] Fault faultOf(ErrorNumber number);

/// The number of the C library's error `errnoValue`, by its kind; DeviceIo for the rest.
[[nodiscard]] ErrorNumber errorNumberOf(int errnoValue);

/// The fault for the C library's error `errnoValue` while doing `what` ("cannot open x"):
/// "<what>: <system's text>", numbered by its kind.
[[nodiscard]] Fault faultFromErrno(int errnoValue, std::string_view what);

/// Either a value or the fault that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Fault fault) : state_(std::in_place_index<1>, std::move(fault)) {}

    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// Only when ok().
    [[nodiscard]] T& value() { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    /// Only when !ok().
    [[nodiscard]] const Fault& fault() const { return std::get<1>(state_); }

  private:
    std::variant<T, Fault> state_;
};

/// The result of an operation that makes no value: done, or the fault.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Fault fault) : fault_(std::move(fault)) {}

    [[nodiscard]] bool ok() const { return !fault_; }
    explicit operator bool() const { return ok(); }
    /// Only when !ok(); asked of a success it throws std::bad_optional_access (a programming
    /// error).
    [[nodiscard]] const Fault& fault() const { return fault_.value(); }

  private:
    std::optional<Fault> fault_;
};

}  // namespace korvath::platform
