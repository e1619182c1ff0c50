#include "link/qt/port_number.h"

namespace korvath::link::detail {

QString portNameForNumber(int number, std::string& error) {
    if (number >= 1) return QStringLiteral("COM%1").arg(number);
    error = "No serial port number " + std::to_string(number);
    return {};
}

}  // namespace korvath::link::detail
