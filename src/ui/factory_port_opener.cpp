#include "ui/factory_port_opener.h"

#include "sim/port_factory.h"

namespace korvath::ui {

std::vector<PortChoice> FactoryPortOpener::listChoices() {
    std::vector<PortChoice> choices;
    for (sim::PortChoice& choice : sim::listPortChoices()) {
        choices.push_back({std::move(choice.text), std::move(choice.description)});
    }
    return choices;
}

OpenedPort FactoryPortOpener::open(std::string_view text, link::Clock& clock) {
    sim::OpenedPort opened = sim::openPortByText(text, clock);
    return {std::move(opened.port), std::move(opened.error)};
}

}  // namespace korvath::ui
