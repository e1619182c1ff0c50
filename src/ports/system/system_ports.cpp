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

platform::Result<OpenedPort> SystemPorts::open(std::string_view text, link::Clock& clock) {
    platform::Result<OpenedPort> opened = openPort(text, clock);
    // A port that is not there: say where the ports that are there are shown.
    if (opened || opened.fault().number != platform::ErrorNumber::FileNotFound ||
        listAdvice_.empty())
        return opened;
    platform::Fault fault = opened.fault();
    fault.text += "; " + listAdvice_;
    return fault;
}

platform::Result<OpenedPort> SystemPorts::openPort(std::string_view text, link::Clock& clock) {
    const platform::Result<ParsedPort> parsed = parsePortText(text);
    if (!parsed) return parsed.fault();
    platform::Result<std::string> name = parsed->name;
    switch (parsed->kind) {
        case ParsedPort::Kind::Simulated:
            return openSimulated(parsed->number, clock);
        case ParsedPort::Kind::Number:
            name = detail::portNameForNumber(parsed->number, detail::listPorts());
            break;
        case ParsedPort::Kind::Name:
            break;
        case ParsedPort::Kind::UsbSerial:
            name = portWithSerial(listChoices(), parsed->name);
            break;
    }
    if (!name) return name.fault();
    // The messages name the device itself, whatever name led to it; the kernel's hold on the
    // port is the device's, so a second name for it (a symbolic link) finds it busy too.
    const platform::Result<std::string> device = resolveDevice(*name);
    if (!device) return device.fault();
    platform::Result<OpenedPort> opened = serial::openSerialPort(*device, clock);
    // A port name mistyped or an adapter in another socket: the ports there are tell which.
    if (!opened && opened.fault().number == platform::ErrorNumber::FileNotFound)
        return detail::withListedPorts(opened.fault(), detail::listPorts());
    return opened;
}

}  // namespace korvath::ports
