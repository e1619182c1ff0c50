// A run of the line: the plan checked before any port is opened, then one unit worker per port
// at the same time (each on its own thread, with its own link), the tally and how the run ended.
// A run with one port and none of the line's options is a line of one.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "line/output.h"
#include "line/plan.h"

namespace korvath::line {

/// Checks the image once, opens the log, then runs one download per port at the same time, or
/// station mode; everything shown goes to `output`. A plain run of one port keeps the console's
/// output; its refused image ends with the refusal's status on standard output.
/// Returns the exit code:
/// 0 when every unit ended "Done!", else the highest unit's code; 2 before any port is opened
/// for a usage error or an unwritable log, 3 for a refused image; 128 + the signal for a
/// station or run stopped by SIGINT, SIGTERM, SIGHUP or SIGQUIT (130, 143, 129, 131); 1 when a
/// unit's log line or the output could not be written. Every ending, also before any port, is
/// told to `output` as the run's result.
/// `read` is the image as read from `image`.
int runLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
            image::ImageRead read, const LineOptions& options, LineSurroundings& around,
            LineOutput& output);

}  // namespace korvath::line
