// The command line of the window program, the same on every system: its help, printed by --help
// and after a usage error.
#pragma once

namespace korvath::window {

inline constexpr const char* kUsage =
    "Usage: korvath [FILE]\n"
    "Opens the window that writes an S-record image (.shx) into a controller's external flash\n"
    "over its serial bootloader. FILE is chosen at start; without it the last image is chosen\n"
    "again when it still exists. The port is never opened by itself.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "The command line program is korvath-cli.\n";

}  // namespace korvath::window
