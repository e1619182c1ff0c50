// Reads the text a user types for a port: a port number, a port name or device path, or the
// built-in simulated controller. Opening what it names is the port adapters' business.
#pragma once

#include <string>
#include <string_view>

namespace korvath::ports {

/// What a port text asks for.
struct PortSpec {
    enum class Kind {
        Number,     ///< `number` is the port number (COMn, or the n-th listed port)
        Name,       ///< `name` is a port name or device path, taken as it stands
        Simulated,  ///< `number` is the simulated controller's device model, 1..3
        Invalid,    ///< `error` says why the text names no port
    };

    Kind kind = Kind::Number;
    int number = 0;
    std::string name;
    std::string error;
};

/// Lowest and highest port number a text can give; larger values are clamped to these.
inline constexpr int kMinPortNumber = -32768;
inline constexpr int kMaxPortNumber = 32767;

/// Reads a port text; surrounding blanks never matter.
///
/// - A text that starts with a number is that number, as the port box reads it:
///   an optional sign, digits with an optional decimal part ("12", "2.5", ".5"), rounded to
///   the nearest integer with halves to the even neighbour and clamped to the 16-bit range.
///   Whatever follows the number is ignored, so "12abc" is port 12 and "3 com" is port 3;
///   no device name starts with a digit, so nothing is lost by this.
/// - An empty or blank text is port number 0, which no platform opens.
/// - "sim" or "sim:1".."sim:3" (any case) is the simulated controller of that model ("sim" is
///   model 1); any other "sim:" text is Invalid.
/// - Any other text is a port name or device path ("ttyUSB0", "/dev/pts/5", "COM3").
[[nodiscard]] PortSpec parsePortText(std::string_view text);

}  // namespace korvath::ports
