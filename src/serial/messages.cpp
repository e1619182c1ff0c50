#include "serial/serial_port.h"

namespace korvath::serial {

std::string busyMessage(std::string_view device) {
    return "Port " + std::string(device) + " is busy: another program has it open";
}

std::string lostMessage(std::string_view device) {
    return "Port " + std::string(device) + " was lost: the adapter was unplugged or reset";
}

}  // namespace korvath::serial
