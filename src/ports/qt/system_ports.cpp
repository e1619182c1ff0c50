#include "ports/qt/system_ports.h"

#include <QSerialPortInfo>

#include "link/qt/qt_serial_port.h"
#include "ports/device_path.h"
#include "ports/port_name.h"
#include "ports/qt/port_number.h"
#include "ports/simulated.h"
#include "ports/usb_serial.h"

namespace korvath::ports {

std::vector<PortChoice> SystemPorts::listChoices() {
    std::vector<PortChoice> choices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString description =
            info.description().isEmpty() ? info.systemLocation() : info.description();
        PortChoice choice{info.portName().toStdString(), description.toStdString()};
        // The numbers follow the system's order, as detail::portNameForNumber counts them.
        choice.number = detail::numberOfListedPort(static_cast<int>(choices.size()) + 1,
                                                   info.portName().toStdString());
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            choice.usbId = QStringLiteral("%1:%2")
                               .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                               .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
                               .toStdString();
        }
        choice.serialNumber = info.serialNumber().toStdString();
        choices.push_back(std::move(choice));
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
        case PortSpec::Kind::UsbSerial: {
            NamedPort found = portWithSerial(listChoices(), parsed.name);
            if (found.name.empty()) return {nullptr, std::move(found.error)};
            name = std::move(found.name);
            break;
        }
    }
    // The lock and the messages name the device itself, whatever name led to it.
    ResolvedDevice device = resolveDevice(name);
    if (device.device.empty()) return {nullptr, std::move(device.error)};
    name = std::move(device.device);
    auto port = std::make_unique<link::QtSerialPort>();
    if (!port->open(name)) return {nullptr, port->lastError().description};
    return {std::move(port), {}};
}

}  // namespace korvath::ports
