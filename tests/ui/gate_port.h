// A port on the wall clock whose device stays silent until the test pulls the plug: then the
// next operation fails with error 57 and the port closes itself, as the real adapter does.
// Thread-safe, so the test can pull the plug while the download thread waits on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "link/port.h"

namespace korvath::test {

class GatePort final : public link::Port {
  public:
    [[nodiscard]] bool isOpen() const override {
        std::lock_guard lock(mutex_);
        return open_ && !gone_;
    }
    void discardInput() override {}
    bool write(std::span<const std::uint8_t>) override {
        std::lock_guard lock(mutex_);
        if (!alive()) return false;
        ++writes_;
        return true;
    }
    [[nodiscard]] int bytesWaiting() override {
        std::lock_guard lock(mutex_);
        return alive() ? 0 : -1;
    }
    int waitForBytes(int, double timeoutMs) override {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::duration<double, std::milli>(timeoutMs),
                          [this] { return gone_ || !open_; });
        return alive() ? 0 : -1;
    }
    bool readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        std::lock_guard lock(mutex_);
        return alive();
    }
    [[nodiscard]] platform::Fault lastError() const override {
        return {platform::ErrorNumber::DeviceIo, "Device gone"};
    }
    void close() override {
        std::lock_guard lock(mutex_);
        open_ = false;
        changed_.notify_all();
    }

    /// Opens it again after a close (a device that went away stays away).
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    /// The device goes away, waking a waiting download.
    void unplug() {
        std::lock_guard lock(mutex_);
        gone_ = true;
        changed_.notify_all();
    }
    /// Frames (or probe bytes) written so far.
    [[nodiscard]] int writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }

  private:
    bool alive() {
        if (gone_) open_ = false;
        return open_;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    bool gone_ = false;
    int writes_ = 0;
};

}  // namespace korvath::test
