#include "sim/port_factory.h"

#include "link/port_name.h"
#include "link/qt/qt_serial_port.h"
#include "sim/sim_port.h"

namespace korvath::sim {

OpenedPort openPortByText(std::string_view text, link::Clock& clock) {
    const link::PortSpec parsed = link::parsePortText(text);
    switch (parsed.kind) {
        case link::PortSpec::Kind::Invalid:
            return {nullptr, parsed.error};
        case link::PortSpec::Kind::Simulated: {
            Options options;
            options.model = parsed.number;
            if (auto problem = checkOptions(options); !problem.empty()) return {nullptr, problem};
            return {std::make_unique<SimPort>(options, clock), {}};
        }
        case link::PortSpec::Kind::Number:
        case link::PortSpec::Kind::Name:
            break;
    }
    auto port = std::make_unique<link::QtSerialPort>();
    if (!port->open(text)) return {nullptr, port->lastError().description};
    return {std::move(port), {}};
}

std::vector<PortChoice> listPortChoices() {
    std::vector<PortChoice> choices;
    for (const link::PortInfo& info : link::QtSerialPort::availablePorts()) {
        std::string description = info.description.empty() ? info.systemLocation : info.description;
        choices.push_back({info.name, std::move(description)});
    }
    for (int model = 1; model <= 3; ++model) {
        choices.push_back({model == 1 ? "sim" : "sim:" + std::to_string(model),
                           "Simulated controller, model " + std::to_string(model)});
    }
    return choices;
}

}  // namespace korvath::sim
