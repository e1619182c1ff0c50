#include "line/plan.h"

#include <utility>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "image/prescan.h"
#include "korvath/version.h"
#include "platform/platform.h"
#include "ports/device_path.h"
#include "ports/port_name.h"
#include "ports/usb_serial.h"

namespace korvath::line {

namespace {

/// The device that `parsed` opens, with its links resolved: two port texts with the same
/// device would open one controller twice. Empty when that cannot be known before opening (a
/// simulated controller, a port not there yet).
std::string deviceOf(const ports::ParsedPort& parsed,
                     const std::vector<ports::PortChoice>& listed) {
    std::string name;
    switch (parsed.kind) {
        case ports::ParsedPort::Kind::Simulated:
            return {};
        case ports::ParsedPort::Kind::Number:
            for (const ports::PortChoice& choice : listed) {
                if (choice.number == parsed.number) name = choice.text;
            }
            break;
        case ports::ParsedPort::Kind::Name:
            name = parsed.name;
            break;
        case ports::ParsedPort::Kind::UsbSerial:
            if (const auto found = ports::portWithSerial(listed, parsed.name)) name = *found;
            break;
    }
    if (name.empty()) return {};
    const platform::Result<std::string> device = ports::resolveDevice(name);
    return device ? *device : std::string();
}

/// The device number of the character device `path` leads to; 0 when it is none or unknown.
/// Two nodes of one device (a pseudo-terminal under /dev/pts and another name made for it)
/// share it whatever their paths.
unsigned long long deviceNumber(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return 0;
#else
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    return static_cast<unsigned long long>(info.st_rdev);
#endif
}

}  // namespace

std::string portTextProblem(const std::vector<std::string>& texts, ports::PortOpener& opener) {
    std::vector<ports::ParsedPort> parsedPorts;
    bool needList = false;
    for (const std::string& text : texts) {
        const platform::Result<ports::ParsedPort> parsed = ports::parsePortText(text);
        if (!parsed) return parsed.fault().text;
        parsedPorts.push_back(*parsed);
        needList = needList || parsedPorts.back().kind == ports::ParsedPort::Kind::Number ||
                   parsedPorts.back().kind == ports::ParsedPort::Kind::UsbSerial;
    }
    const std::vector<ports::PortChoice> listed =
        needList ? opener.listChoices() : std::vector<ports::PortChoice>{};
    std::vector<std::string> devices;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        devices.push_back(deviceOf(parsedPorts[i], listed));
        for (std::size_t j = 0; j < i; ++j) {
            if (texts[j] == texts[i]) return "port " + texts[i] + " given twice";
            const bool sameNode = !devices[i].empty() && devices[i] == devices[j];
            const unsigned long long number = deviceNumber(devices[i]);
            if (sameNode || (number != 0 && number == deviceNumber(devices[j]))) {
                return "ports " + texts[j] + " and " + texts[i] + " are the same device, " +
                       devices[i] + ": one controller cannot be programmed twice at once";
            }
        }
    }
    return {};
}

bool isLineRun(const std::vector<std::string>& ports, const LineOptions& options) {
    return ports.size() > 1 || options.station || options.json || options.logPath.has_value() ||
           !options.tagTexts.empty() || options.askSerial;
}

UnitRecord LinePlan::recordFor(std::size_t index, std::optional<int> unit) const {
    UnitRecord record;
    record.runId = runId;
    record.host = host;
    record.port = ports[index];
    record.image = image;
    record.imageSha256 = checked.check.facts.sha256;
    record.records = checked.check.facts.records;
    record.version = kVersionText;
    record.unit = unit;
    record.tags = tags;
    if (options.skipErased) record.skippedRecords = 0;
    return record;
}

Planned planLine(const std::vector<std::string>& ports, const std::filesystem::path& image,
                 image::ImageRead read, const LineOptions& options, ports::PortOpener& opener) {
    ParsedTags tags = parseTags(options.tagTexts);
    Planned planned;
    const auto refuse = [&](int code, const std::string& result, const std::string& reason,
                            std::int32_t line = 0) {
        planned.refusal = {
            .exit = code, .result = result, .reason = reason, .line = line, .tags = tags.tags};
        return std::move(planned);
    };
    if (!tags.checked) return refuse(kExitUsage, "Usage error", tags.checked.fault().text);
    if (ports.size() > kMaxPorts) {
        return refuse(kExitUsage, "Usage error",
                      "at most " + std::to_string(kMaxPorts) + " ports at once, " +
                          std::to_string(ports.size()) + " given");
    }
    const bool plain = !isLineRun(ports, options);
    // Refused before any port is opened: a text that names no port would keep a station
    // waiting for ever, and a device given twice would be opened against itself.
    if (const std::string problem = plain ? std::string() : portTextProblem(ports, opener);
        !problem.empty()) {
        return refuse(kExitUsage, "Usage error", problem);
    }
    // Checked once, by the rules every model shares, before any port is opened, in every mode:
    // a damaged file is told at once, not after a dead cable's fifty probes. The rules of the
    // model that answers are still applied by the download, after the password.
    CheckedImage checked = checkImage(std::move(read), image);
    if (checked.exitCode != kExitDone) {
        const bool refused = checked.exitCode == kExitRefused && !checked.check.refusals.empty();
        if (plain && checked.exitCode == kExitRefused) {
            // The plain console's last line on standard output is the status, as after a download.
            planned.plainStatus = refused ? checked.check.refusals.front().status
                                          : std::string(image::text::FileTooLong);
        }
        return refuse(checked.exitCode,
                      refused ? checked.check.refusals.front().status : "Image not read",
                      checked.message, refused ? checked.check.refusals.front().line : 0);
    }
    std::unique_ptr<AuditLog> log;
    if (options.logPath) {
        // The same file by any path (a link, "./", another name): appending to it would write
        // records into the image.
        std::error_code same;
        if (std::filesystem::equivalent(platform::pathFromUtf8(*options.logPath), image, same)) {
            return refuse(kExitUsage, "Usage error",
                          "the log \"" + *options.logPath +
                              "\" is the image file: give the log a file of its own");
        }
        platform::Result<std::unique_ptr<AuditLog>> opened =
            AuditLog::open(platform::pathFromUtf8(*options.logPath));
        if (!opened) {
            return refuse(
                kExitUsage, "Log not writable",
                "cannot write the log \"" + *options.logPath + "\": " + opened.fault().text);
        }
        log = std::move(*opened);
    }
    planned.plan = LinePlan{.ports = ports,
                            .image = image,
                            .checked = std::move(checked),
                            .options = options,
                            .tags = std::move(tags.tags),
                            .log = std::move(log),
                            .plain = plain,
                            .host = platform::hostName(),
                            .runId = newRunId()};
    return planned;
}

}  // namespace korvath::line
