#include "ports/simulated.h"

#include <string>

#include "sim/sim_port.h"

namespace korvath::ports {

namespace {

constexpr int kModels = 3;

}  // namespace

platform::Result<OpenedPort> openSimulated(int model, link::Clock& clock) {
    sim::Options options;
    options.model = model;
    if (const auto checked = sim::checkOptions(options); !checked) return checked.fault();
    return OpenedPort{std::make_unique<sim::SimPort>(options, clock)};
}

std::vector<PortChoice> simulatedChoices() {
    std::vector<PortChoice> choices;
    for (int model = 1; model <= kModels; ++model) {
        choices.push_back({model == 1 ? "sim" : "sim:" + std::to_string(model),
                           "Simulated controller, model " + std::to_string(model)});
    }
    return choices;
}

}  // namespace korvath::ports
