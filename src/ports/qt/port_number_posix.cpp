#include <QSerialPortInfo>

#include "ports/qt/port_number.h"

namespace korvath::ports::detail {

// No COMn here: number n is the n-th port in the order the system lists them, so that a
// technician's habit of typing a small number still works with one USB adapter plugged in.
NumberedPort portNameForNumber(int number) {
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (number >= 1 && number <= ports.size())
        return {ports[number - 1].systemLocation().toStdString(), {}};

    std::string error = "No serial port number " + std::to_string(number) + ": ";
    if (ports.isEmpty()) {
        error += "the system lists no serial ports";
    } else {
        error += "the system lists " + std::to_string(ports.size()) + " (1 to " +
                 std::to_string(ports.size()) + "; korvath-cli --list-ports shows them)";
    }
    return {{}, error};
}

int numberOfListedPort(int position, const std::string&) {
    return position;
}

}  // namespace korvath::ports::detail
