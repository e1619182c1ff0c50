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
    platform::Result<void> discardInput() override { return {}; }
    platform::Result<void> write(std::span<const std::uint8_t>) override {
        std::lock_guard lock(mutex_);
        if (!alive()) return kGone;
        ++writes_;
        return {};
    }
    [[nodiscard]] platform::Result<int> bytesWaiting() override {
        std::lock_guard lock(mutex_);
        return nothingOrGone();
    }
    platform::Result<int> waitForBytes(int, double timeoutMs) override {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::duration<double, std::milli>(timeoutMs),
                          [this] { return gone_ || !open_; });
        return nothingOrGone();
    }
    platform::Result<void> readAll(std::vector<std::uint8_t>& out) override {
        out.clear();
        std::lock_guard lock(mutex_);
        if (!alive()) return kGone;
        return {};
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
    inline static const platform::Fault kGone{platform::ErrorNumber::DeviceIo, "Device gone"};

    platform::Result<int> nothingOrGone() {
        if (!alive()) return kGone;
        return 0;
    }
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
