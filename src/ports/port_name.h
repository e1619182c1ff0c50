// Reads the text a user types for a port: a port number, a port name or device path, or the
// built-in simulated controller. Opening what it names is the port adapters' business.
#pragma once

#include <string>
#include <string_view>

#include "platform/fault.h"

namespace korvath::ports {

/// What a port text asks for.
struct ParsedPort {
    enum class Kind {
        Number,     ///< `number` is the port number (COMn, or the n-th listed port)
        Name,       ///< `name` is a port name or device path, taken as it stands
        Simulated,  ///< `number` is the simulated controller's device model, 1..3
        UsbSerial,  ///< `name` is the USB serial number of the adapter to open
    };

    Kind kind = Kind::Number;
    int number = 0;
    std::string name;
};

/// Lowest and highest port number a text can give; any other number is refused.
inline constexpr int kMinPortNumber = 1;
inline constexpr int kMaxPortNumber = 32767;

/// Reads a port text; surrounding blanks never matter. A text is never rounded, cut or
/// clamped into another port: with several adapters on a bench that would flash the wrong
/// controller.
///
/// A text that names no port is an InvalidArgument fault saying why.
///
/// - A whole positive number ("1", "12", "007") is that port number, up to kMaxPortNumber.
/// - "sim" or "sim:1".."sim:3" (any case) is the simulated controller of that model ("sim" is
///   model 1); any other "sim:" text is refused.
/// - "usb:SERIAL" (any case) is the USB adapter whose serial number is SERIAL: the name stays
///   with the adapter whichever socket or order it was plugged in. "usb:" alone is refused.
/// - A text that looks like a number without being a whole positive one ("1e3", "1.5",
///   "12abc", "-1", "+4", ".5", "0") is refused, as is an empty or blank text; the fault
///   quotes the text.
/// - Any other text is a port name or device path ("ttyUSB0", "/dev/pts/5", "COM3").
[[nodiscard]] platform::Result<ParsedPort> parsePortText(std::string_view text);

}  // namespace korvath::ports
