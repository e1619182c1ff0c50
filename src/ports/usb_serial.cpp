#include "ports/usb_serial.h"

namespace korvath::ports {

platform::Result<std::string> portWithSerial(const std::vector<PortChoice>& listed,
                                             std::string_view serial) {
    std::vector<const PortChoice*> found;
    if (!serial.empty()) {
        for (const PortChoice& choice : listed) {
            if (choice.serialNumber == serial) found.push_back(&choice);
        }
    }
    std::string quoted = "\"";
    quoted.append(serial).append("\"");
    if (found.empty()) {
        return platform::Fault{platform::ErrorNumber::FileNotFound,
                               "No USB adapter with serial number " + quoted + " is plugged in"};
    }
    if (found.size() > 1) {
        std::string names;
        for (const PortChoice* choice : found) {
            names.append(names.empty() ? "" : ", ").append(choice->text);
        }
        return platform::Fault{platform::ErrorNumber::InvalidArgument,
                               "Serial number " + quoted + " is shared by " + names +
                                   ": name the port by its path instead"};
    }
    return found.front()->text;
}

}  // namespace korvath::ports
