// What the operating systems do differently, behind a few small functions: terminals, precise
// sleeping and full paths (posix.cpp or windows.cpp, chosen by the build), and paths as UTF-8
// text (the same everywhere). The layers above never include a system header for these.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace korvath::platform {

enum class Stream { Input, Output, Error };

/// True when `stream` is an interactive terminal. On Windows that is a console; the null device,
/// which the C runtime's isatty() also calls a terminal, is none.
[[nodiscard]] bool isTerminal(Stream stream);

/// Makes the terminal on `stream` show UTF-8 text and obey the carriage return and erase-line
/// sequences of a progress line (Windows consoles do so only when asked). False when `stream`
/// is no terminal or does not take them; the caller then writes plain lines.
bool enableTerminalControls(Stream stream);

struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

/// Columns and rows of the terminal window that `stream` writes to, so that progress lines
/// neither wrap nor scroll; nullopt when it is no terminal or does not say.
[[nodiscard]] std::optional<TerminalSize> terminalSize(std::FILE* stream);

/// Blocks until `in` has something to read (or has ended) or `stop` is requested: false for
/// the stop. A question on the terminal waits here, so that Ctrl-C ends it like any other wait.
[[nodiscard]] bool waitForInput(std::FILE* in, const std::stop_token& stop);

/// Blocks the calling thread for at least `ms` milliseconds, as close to that as the system
/// allows: never shorter, also below one millisecond, where a plain sleep may not wait at all.
/// Zero or less returns at once.
void sleepFor(double ms);

/// Asks the system to end the calling thread's timed waits, and those of threads it starts
/// afterwards, as close to their deadlines as it can. Linux otherwise lets a wait run up to
/// 50 us late to merge wake-ups, and the 2 ms of quiet that ends every reply would pay that on
/// every record. Windows has no such allowance.
void exactTimers();

/// Makes a write beyond the process's file-size limit fail like one on a full disk, so that the
/// log can cut it back, instead of ending the program in the middle of a download (Linux sends
/// SIGXFSZ). Process-wide: a program calls it once at its start, no library does.
void failOversizeWrites();

/// This computer's name on the network as the system gives it ("line-pc-3"); empty when the
/// system does not say.
[[nodiscard]] std::string hostName();

/// True when `path` names one file wherever the program runs from: "/x" on POSIX; "C:\x",
/// "\\server\share\x" and "\\?\C:\x" on Windows, but not "\x" or "C:x", which depend on the
/// current drive or the current folder of a drive.
[[nodiscard]] bool isFullPath(const std::filesystem::path& path);

/// The program's command-line arguments as UTF-8 text, program name first, in the argc/argv form
/// that argument parsers take. POSIX passes them through as the system gave them; Windows hands
/// main() its arguments in the ANSI code page, which loses letters outside it, so there they are
/// read again from the wide command line.
class Utf8Arguments {
  public:
    Utf8Arguments(int argc, char** argv);
    Utf8Arguments(const Utf8Arguments&) = delete;
    Utf8Arguments& operator=(const Utf8Arguments&) = delete;

    [[nodiscard]] int count() const { return static_cast<int>(texts_.size()); }
    /// Null-terminated like argv; valid as long as this object.
    [[nodiscard]] char** values() { return pointers_.data(); }
    [[nodiscard]] const std::vector<std::string>& texts() const { return texts_; }

  private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

/// The path that UTF-8 `text` names. A std::string goes into a path in the system's narrow
/// encoding, which on Windows is not UTF-8, so every path made from text comes through here.
[[nodiscard]] std::filesystem::path pathFromUtf8(std::string_view text);

/// `path` as UTF-8 text, for messages and logs.
[[nodiscard]] std::string utf8Text(const std::filesystem::path& path);

}  // namespace korvath::platform
