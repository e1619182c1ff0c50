#include "ports/system/system_ports.h"

#include "ports/device_path.h"
#include "ports/port_name.h"
#include "ports/simulated.h"
#include "ports/system/port_list.h"
#include "ports/usb_serial.h"
#include "serial/serial_port.h"

namespace korvath::ports {

namespace {

PortChoice choiceOf(const detail::ListedPort& listed, int position) {
    PortChoice choice{listed.name, listed.description.empty() ? listed.name : listed.description};
    choice.number = detail::numberOfListedPort(position, listed.name);
    choice.usbId = listed.usbId;
    choice.serialNumber = listed.serialNumber;
    choice.maker = listed.maker;
    choice.byId = listed.byId;
    return choice;
}

}  // namespace

std::vector<PortChoice> SystemPorts::listChoices() {
    std::vector<PortChoice> choices;
    for (const detail::ListedPort& listed : detail::listPorts())
        choices.push_back(choiceOf(listed, static_cast<int>(choices.size()) + 1));
    for (PortChoice& choice : simulatedChoices()) choices.push_back(std::move(choice));
    return choices;
}

OpenedPort SystemPorts::open(std::string_view text, link::Clock& clock) {
    const ParsedPort parsed = parsePortText(text);
    std::string name;
    switch (parsed.kind) {
        case ParsedPort::Kind::Invalid:
            return {nullptr, parsed.error};
        case ParsedPort::Kind::Simulated:
            return openSimulated(parsed.number, clock);
        case ParsedPort::Kind::Number: {
            detail::NumberedPort numbered =
                detail::portNameForNumber(parsed.number, detail::listPorts());
            if (numbered.name.empty()) return {nullptr, std::move(numbered.error)};
            name = std::move(numbered.name);
            break;
        }
        case ParsedPort::Kind::Name:
            name = parsed.name;
            break;
        case ParsedPort::Kind::UsbSerial: {
            NamedPort found = portWithSerial(listChoices(), parsed.name);
            if (found.name.empty()) return {nullptr, std::move(found.error)};
            name = std::move(found.name);
            break;
        }
    }
    // The messages name the device itself, whatever name led to it; the kernel's hold on the
    // port is the device's, so a second name for it (a symbolic link) finds it busy too.
    ResolvedDevice device = resolveDevice(name);
    if (device.device.empty()) return {nullptr, std::move(device.error)};
    serial::OpenedSerialPort opened = serial::openSerialPort(device.device);
    if (!opened.port) return {nullptr, std::move(opened.error)};
    OpenedPort result{std::move(opened.port), {}};
    result.advice = std::move(opened.advice);
    return result;
}

}  // namespace korvath::ports
