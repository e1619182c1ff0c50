#include "ports/system/port_list.h"

namespace korvath::ports::detail {

// No COMn here: number n is the n-th listed port, so that a technician's habit of typing a
// small number still works with one USB adapter plugged in.
NumberedPort portNameForNumber(int number, const std::vector<ListedPort>& listed) {
    const auto size = static_cast<int>(listed.size());
    if (number >= 1 && number <= size)
        return {"/dev/" + listed[static_cast<std::size_t>(number - 1)].name, {}};

    std::string error = "No serial port number " + std::to_string(number) + ": ";
    if (listed.empty()) {
        error += "the system lists no serial ports";
    } else {
        error += "the system lists " + std::to_string(size) + " (1 to " + std::to_string(size) +
                 "; korvath-cli --list-ports shows them)";
    }
    return {{}, error};
}

int numberOfListedPort(int position, const std::string&) {
    return position;
}

}  // namespace korvath::ports::detail
