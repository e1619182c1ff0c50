// Test doubles for the window: scripted message boxes and file dialog that never block, and a
// port opener whose ports the test makes. Each records what the window asked of it.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "ports/port_opener.h"
#include "ui/prompts.h"

namespace korvath::test {

struct ShownMessage {
    ui::MessageIcon icon;
    QString title;
    QString text;
};

class ScriptedPrompts final : public ui::Prompts {
  public:
    /// Answers of the file dialog, in order; an empty optional is a cancel. With none left the
    /// dialog is cancelled.
    std::deque<std::optional<QString>> dialogAnswers;
    /// Called each time the dialog is shown or a box is raised, before it answers.
    std::function<void()> onDialog;
    std::function<void(const ShownMessage&)> onMessage;

    std::vector<ShownMessage> messages;
    std::vector<QString> dialogStartPaths;
    int beeps = 0;

    void message(QWidget*, ui::MessageIcon icon, const QString& title,
                 const QString& text) override {
        messages.push_back({icon, title, text});
        if (onMessage) onMessage(messages.back());
    }

    std::optional<QString> chooseImageFile(QWidget*, const QString& startPath) override {
        dialogStartPaths.push_back(startPath);
        if (onDialog) onDialog();
        if (dialogAnswers.empty()) return std::nullopt;
        std::optional<QString> answer = dialogAnswers.front();
        dialogAnswers.pop_front();
        return answer;
    }

    void beep() override { ++beeps; }

    /// The answers to the question whether to stop a download, in order; none left: keep on.
    std::deque<bool> stopAnswers;
    std::vector<QString> questions;
    /// Called while the question is up, as a real box's event loop would run meanwhile.
    std::function<void()> onQuestion;
    bool askToStop(QWidget*, const QString&, const QString& text) override {
        questions.push_back(text);
        if (onQuestion) onQuestion();
        if (stopAnswers.empty()) return false;
        const bool answer = stopAnswers.front();
        stopAnswers.pop_front();
        return answer;
    }
};

/// Hands the window a port that the test owns, so the test can still look at it (or pull its
/// plug) after the window has closed and destroyed its handle.
class BorrowedPort final : public link::Port {
  public:
    explicit BorrowedPort(link::Port& port) : port_(port) {}
    [[nodiscard]] bool isOpen() const override { return port_.isOpen(); }
    platform::Result<void> discardInput() override { return port_.discardInput(); }
    platform::Result<void> write(std::span<const std::uint8_t> bytes) override {
        return port_.write(bytes);
    }
    [[nodiscard]] platform::Result<int> bytesWaiting() override { return port_.bytesWaiting(); }
    platform::Result<int> waitForBytes(int known, double timeoutMs) override {
        return port_.waitForBytes(known, timeoutMs);
    }
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        return port_.readAll(out);
    }
    void close() override { port_.close(); }

  private:
    link::Port& port_;
};

/// Lists fixed choices and opens ports through `factory`, on the download thread.
class TestPortOpener final : public ports::PortOpener {
  public:
    using Factory = std::function<platform::Result<ports::OpenedPort>(std::string_view text,
                                                                      link::Clock& clock)>;

    explicit TestPortOpener(Factory factory = {}) : factory_(std::move(factory)) {}

    std::vector<ports::PortChoice> choices;

    std::vector<ports::PortChoice> listChoices() override {
        ++listed_;
        return choices;
    }

    platform::Result<ports::OpenedPort> open(std::string_view text, link::Clock& clock) override {
        {
            std::lock_guard lock(mutex_);
            opened_.emplace_back(text);
        }
        if (!factory_) return platform::Fault{platform::ErrorNumber::FileNotFound, "no port here"};
        return factory_(text, clock);
    }

    [[nodiscard]] std::vector<std::string> openedTexts() {
        std::lock_guard lock(mutex_);
        return opened_;
    }
    [[nodiscard]] int listed() const { return listed_; }

  private:
    Factory factory_;
    std::mutex mutex_;
    std::vector<std::string> opened_;
    int listed_ = 0;
};

}  // namespace korvath::test
