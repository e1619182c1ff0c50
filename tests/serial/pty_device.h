// A device on the master side of a pseudo-terminal: the test opens the slave path as a serial
// port, and a thread here reads what arrives and answers through a responder.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvath::test {

class PtyDevice {
  public:
    using Bytes = std::vector<std::uint8_t>;
    /// Gets everything received so far, returns the bytes to send back (empty: stay silent).
    using Responder = std::function<Bytes(const Bytes& received)>;

    /// Opens a master and unlocks its slave; throws std::runtime_error on failure.
    PtyDevice();
    ~PtyDevice();

    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    /// The slave's path, "/dev/pts/N".
    [[nodiscard]] const std::string& path() const { return path_; }

    static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

    /// Starts answering. Call once the slave is open: with no slave open the master reports a
    /// hang-up and the thread would stop at once. Once `hangUpAfter` bytes have arrived the
    /// device hangs up by itself instead of answering, like an adapter pulled mid-exchange.
    void start(Responder responder, std::size_t hangUpAfter = kNever);

    /// Sends bytes now, unasked (line noise, a late reply).
    void send(const Bytes& bytes);

    /// Stops the thread and closes the master: the slave then sees the device gone.
    void hangUp();

    /// Everything received so far.
    [[nodiscard]] Bytes received();

    /// Blocks until at least `count` bytes were received or `timeoutMs` passed.
    bool waitForReceived(std::size_t count, int timeoutMs);

  private:
    void run();
    void stop();

    int master_ = -1;
    int wake_ = -1;
    std::string path_;
    Responder responder_;
    std::size_t hangUpAfter_ = kNever;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes received_;
};

}  // namespace korvath::test
