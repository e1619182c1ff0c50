#include "ports/qt/system_ports.h"

#include <QSerialPortInfo>

#include "link/qt/qt_serial_port.h"
#include "ports/port_name.h"
#include "ports/qt/port_number.h"
#include "ports/simulated.h"

namespace korvath::ports {

std::vector<PortChoice> SystemPorts::listChoices() {
    std::vector<PortChoice> choices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString description =
            info.description().isEmpty() ? info.systemLocation() : info.description();
        choices.push_back({info.portName().toStdString(), description.toStdString()});
    }
    for (PortChoice& choice : simulatedChoices()) choices.push_back(std::move(choice));
    return choices;
}

OpenedPort SystemPorts::open(std::string_view text, link::Clock& clock) {
    const PortSpec parsed = parsePortText(text);
    std::string name;
    switch (parsed.kind) {
        case PortSpec::Kind::Invalid:
            return {nullptr, parsed.error};
        case PortSpec::Kind::Simulated:
            return openSimulated(parsed.number, clock);
        case PortSpec::Kind::Number: {
            detail::NumberedPort numbered = detail::portNameForNumber(parsed.number);
            if (numbered.name.empty()) return {nullptr, std::move(numbered.error)};
            name = std::move(numbered.name);
            break;
        }
        case PortSpec::Kind::Name:
            name = parsed.name;
            break;
    }
    auto port = std::make_unique<link::QtSerialPort>();
    if (!port->open(name)) return {nullptr, port->lastError().description};
    return {std::move(port), {}};
}

}  // namespace korvath::ports
