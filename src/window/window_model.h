// The window's rules without a toolkit: what every control shows, which controls take input,
// what each command does and which boxes, beeps and pointer a face must show for it. A face
// (Qt widgets, Win32) builds the controls, forwards what the user does to these commands and
// draws state(); it decides nothing. The port and the download live on the model's own thread.
//
// Threads: every member function runs on the face's (UI) thread, except that WindowFace::wake()
// is called from any thread. After a wake the face calls poll() on its UI thread until it
// returns nothing, drawing state() and showing the effects after each call.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "image/check.h"
#include "link/clock.h"
#include "ports/port_opener.h"
#include "window/settings.h"

namespace korvath::window {

/// The background of the status box: the normal colour, or the colour of every failure.
enum class Severity { Normal, Error };

enum class Icon { None, Information, Warning };

/// A modal box with an OK button.
struct Message {
    Icon icon = Icon::None;
    std::string title;
    std::string text;  ///< may hold line breaks

    bool operator==(const Message&) const = default;
};

/// What a face must do beyond drawing state(), in this order: show `messages` (each modal,
/// one after the other), beep, call answer() when `awaitsAnswer`, then show the open-file
/// dialog when `dialogAt` holds a place and pass its outcome to fileChosen().
struct Effects {
    std::vector<Message> messages;
    /// The system's default sound.
    bool beep = false;
    /// The download thread waits until the face has closed `messages` and called answer().
    bool awaitsAnswer = false;
    /// Show the open-file dialog starting at this folder (or at this file).
    std::optional<std::filesystem::path> dialogAt;
    /// The status box was written, also when its text and colour stayed the same.
    bool statusShown = false;
    /// The port's state was read back (after an open, a close or a download).
    bool portReported = false;
    /// Ask whether to stop the running download and close: a box with the buttons "Stop" and
    /// "Keep downloading"; the answer goes to closeAnswered().
    std::optional<Message> closeQuestion;
    /// Close the window now.
    bool close = false;

    [[nodiscard]] bool empty() const {
        return messages.empty() && !beep && !awaitsAnswer && !dialogAt && !statusShown &&
               !portReported && !closeQuestion && !close;
    }
};

/// What is known about the chosen file.
enum class FileCheck {
    None,      ///< no file chosen
    Accepted,  ///< every rule holds for at least one device model: it may be downloaded
    Refused,   ///< its first line is a header, but a rule of the image check fails
};

/// Which controls take input. A control that would ignore a click is disabled.
struct Enabled {
    bool portBox = true;
    bool openPort = true;
    bool closePort = false;
    bool chooseFile = true;
    bool download = false;
    /// The Download button, shown as "Stop" while a download runs, stops it.
    bool stop = false;

    bool operator==(const Enabled&) const = default;
};

/// Everything a face draws. Texts are UTF-8.
struct State {
    std::string portText = "1";
    bool portOpen = false;
    /// The port's failure to open, for the port label's tool tip; empty otherwise.
    std::string portError;

    /// Full path of the chosen file; empty when none is chosen.
    std::filesystem::path image;
    FileCheck check = FileCheck::None;
    /// The file box: the chosen file's name without its folder.
    std::string fileName;
    /// The file box's tool tip: path, record count and the start of the SHA-256.
    std::string fileTip;

    /// From the Download command until the download has ended: the window refuses to close.
    bool busy = false;
    /// The busy pointer over the window (from the erase phase to the end of a download).
    bool busyPointer = false;
    /// How the last download ended; NotRun until one has.
    download::Ending lastEnding = download::Ending::NotRun;

    std::string status = "Idle";
    Severity severity = Severity::Normal;

    int barValue = 0;
    int barMax = 10;  ///< above 0; a download without steps shows an empty bar of 1
    std::string barTip;

    /// The line below the controls; empty means hidden. It can be long and hold line breaks.
    std::string details;

    Enabled enabled;
};

/// The face's side of the model, as narrow as it gets.
class WindowFace {
  public:
    virtual ~WindowFace() = default;
    /// The model has reports for the face. Called from any thread, until the model's destructor
    /// returns; the face posts itself a call of poll() on its UI thread (calls may merge).
    virtual void wake() = 0;
};

/// What the model needs from outside; the references must outlive it.
struct Services {
    ports::PortOpener& ports;
    SettingsStore& settings;
    WindowFace& face;
    /// The download's clock; null means the wall clock.
    link::Clock* clock = nullptr;
    /// SHA-256 for the file's tool tip and details; none leaves the digest out.
    image::Sha256Function sha256 = {};
    /// The title of the download's error boxes: the program's name.
    std::string programName = "Korvath";
};

class WindowModel {
  public:
    explicit WindowModel(Services services);
    /// Stops a running download at its next exchange boundary (the controller leaves
    /// programming mode), releases a box it waits for, closes the port on its thread and joins.
    ~WindowModel();

    WindowModel(const WindowModel&) = delete;
    WindowModel& operator=(const WindowModel&) = delete;

    [[nodiscard]] const State& state() const;

    /// Once, when the face is built: takes the remembered port text and folder, then chooses
    /// `image` (from the command line) or else the remembered image when it still exists. The
    /// port is never opened here.
    Effects start(const std::optional<std::filesystem::path>& image = std::nullopt);

    /// The user edited the port box.
    void setPortText(std::string text);
    /// Open the port the port box names. The result arrives through poll().
    Effects openPort();
    /// Close the port. The result arrives through poll().
    Effects closePort();

    /// The file button: the status returns to "Idle" and the dialog opens (Effects::dialogAt).
    Effects chooseFile();
    /// What the dialog gave: a file, or nothing when cancelled. A file whose first line is not
    /// an image header is refused with a box, the file chosen before stays, and the dialog
    /// opens again.
    Effects fileChosen(const std::optional<std::filesystem::path>& path);
    /// A file dropped on the window: chosen as from the dialog, without a second dialog.
    Effects dropFile(const std::filesystem::path& path);

    /// The Download button. The download's reports arrive through poll().
    Effects download();

    /// The Download button while a download runs (its caption is then "Stop"): the download
    /// ends at its next exchange boundary with the exit frame when the password had passed,
    /// and "Cancelled". Reports go on arriving through poll().
    Effects stop();

    /// True when the window may close at once: no download runs.
    [[nodiscard]] bool mayClose() const;
    /// The window is asked to close: Effects::close when no download runs, else the question
    /// whether to stop it (Effects::closeQuestion).
    Effects closeRequested();
    /// The answer to Effects::closeQuestion: `stopIt` stops the download and asks the face to
    /// close once it has ended (the exit frame is out); otherwise the download goes on.
    Effects closeAnswered(bool stopIt);

    /// From any thread, for a process that ends without its window (the display is gone):
    /// stops a running download at its next exchange boundary and waits until it has ended,
    /// at most `deadline`. True when no download was left running.
    bool stopForExit(std::chrono::milliseconds deadline);

    /// Applies the next report of the download thread to state(); nothing when none is left.
    [[nodiscard]] std::optional<Effects> poll();

    /// The face closed the boxes of effects that awaited an answer.
    void answer();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

/// `path` for a message: in double quotes, quotes and backslashes escaped, control characters
/// and bytes that are not UTF-8 written as escapes ("\n", "\xff"), so that a strange name
/// cannot break the text it stands in.
[[nodiscard]] std::string quotedPath(const std::filesystem::path& path);

/// `path` for a line of the window: control characters and bytes that are not UTF-8 written as
/// escapes, as in quotedPath, without the quotes.
[[nodiscard]] std::string shownPath(const std::filesystem::path& path);

}  // namespace korvath::window
