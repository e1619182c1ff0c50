// The serial port on Windows: CreateFileW with no sharing, a DCB at 38400 8N1 and synchronous
// reads whose comm time-outs do the waiting. A wait is one 1-byte ReadFile that returns with
// the first byte or after the time-out, then a read that takes whatever else has arrived
// without waiting. Both work the same on Windows and under Wine, whose event waits and
// "whole buffer or time-out" reads do not.
// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <devguid.h>
#include <mmsystem.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/wide_text.h"
#include "serial/port_base.h"
#include "serial/serial_port.h"

namespace korvath::serial {

namespace {

constexpr DWORD kWriteTimeoutMs = 2000;
constexpr DWORD kReadChunk = 4096;

// The system's wording of `error`, without its closing full stop and line break.
std::string systemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length > 0 ? platform::utf8({buffer, length}) : std::string();
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) text = "system error " + std::to_string(error);
    return text;
}

// "\\.\COM12" is shown as "COM12", the name the user knows.
std::string shownName(std::string_view device) {
    constexpr std::string_view prefix = "\\\\.\\";
    if (device.substr(0, prefix.size()) == prefix) device.remove_prefix(prefix.size());
    return std::string(device);
}

enum class Reading { FirstByte, Drain };

// A read for the first byte waits up to `constantMs`; a drain takes what has arrived and
// returns at once. Every write ends within kWriteTimeoutMs, so a line that takes no bytes
// (flow stopped, adapter wedged) fails the write instead of holding it.
bool setTimeouts(HANDLE handle, Reading reading, DWORD constantMs) {
    COMMTIMEOUTS timeouts{};
    if (reading == Reading::Drain) {
        timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
        timeouts.ReadTotalTimeoutConstant = constantMs;
    }
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    return ::SetCommTimeouts(handle, &timeouts) != 0;
}

bool isGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_BROKEN_PIPE:
        case ERROR_NOT_READY:  // a hung-up line under Wine, a USB adapter mid-removal
            return true;
        default:
            return false;
    }
}

class WindowsPort final : public detail::FirstByteWaits {
  public:
    WindowsPort(HANDLE handle, std::string device, link::Clock& clock)
        : FirstByteWaits(std::move(device), clock), handle_(handle) {
        // Sleeps and comm time-outs in single milliseconds rather than the default 15.6 ms tick.
        ::timeBeginPeriod(1);
    }
    ~WindowsPort() override { closePort(); }

    WindowsPort(const WindowsPort&) = delete;
    WindowsPort& operator=(const WindowsPort&) = delete;

    [[nodiscard]] bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    platform::Result<void> discardInput() override {
        if (!isOpen()) return refusal();
        dropReceived();
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status))
            return failed(::GetLastError(), "discarding input");
        if (status.cbInQue > 0 && !::PurgeComm(handle_, PURGE_RXCLEAR))
            return failed(::GetLastError(), "discarding input");
        return {};
    }

    platform::Result<void> write(std::span<const std::uint8_t> bytes) override {
        if (!isOpen()) return refusal();
        if (bytes.empty()) return {};
        DWORD written = 0;
        if (!::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr)) {
            return failed(::GetLastError(), "writing");
        }
        if (written != bytes.size()) return fault("Timed out writing to " + device());
        return {};
    }

  private:
    platform::Result<FirstByte> readFirstByte(unsigned ms, std::uint8_t& byte) override {
        DWORD got = 0;
        if (!useTimeouts(Reading::FirstByte, ms) || !::ReadFile(handle_, &byte, 1, &got, nullptr))
            return failed(::GetLastError(), "reading");
        return got == 0 ? FirstByte::Nothing : FirstByte::Byte;
    }

    // Takes what has arrived without waiting.
    platform::Result<void> takeArrived() override {
        if (!useTimeouts(Reading::Drain, 0)) return failed(::GetLastError(), "reading");
        std::uint8_t buffer[kReadChunk];
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(handle_, buffer, kReadChunk, &got, nullptr))
                return failed(::GetLastError(), "reading");
            receive(buffer, buffer + got);
            if (got < kReadChunk) return {};
        }
    }

    // Changes the comm time-outs only when they differ from those in force.
    bool useTimeouts(Reading reading, DWORD constantMs) {
        if (reading == reading_ && constantMs == readConstantMs_) return true;
        if (!setTimeouts(handle_, reading, constantMs)) return false;
        reading_ = reading;
        readConstantMs_ = constantMs;
        return true;
    }

    void closeDevice() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        ::timeEndPeriod(1);
    }

    platform::Fault failed(DWORD error, const char* doing) {
        if (isGone(error)) return lost();
        return failedWhile(doing, systemText(error));
    }

    HANDLE handle_;
    // openSerialPort sets these before the port is handed out.
    Reading reading_ = Reading::Drain;
    DWORD readConstantMs_ = 0;
};

// A registry value of the port's driver, read-only.
bool readDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0;
    DWORD bytes = sizeof value;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

std::wstring readText(HKEY key, const wchar_t* name) {
    wchar_t data[256] = {};
    DWORD type = 0;
    DWORD bytes = sizeof data - sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return std::wstring(data);
}

bool sameName(std::wstring a, std::wstring b) {
    const auto upper = [](std::wstring& text) {
        for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    };
    upper(a);
    upper(b);
    return a == b;
}

// The FTDI driver keeps its latency timer beside the port's name, under the device's
// parameters; no other driver has one. Read without rights beyond the user's.
struct Latency {
    DWORD ms = 0;
    std::string adapter;  ///< the friendly name, "USB Serial Port (COM5)"; may be empty
};
std::optional<Latency> latencyOf(const std::string& port) {
    const HDEVINFO devices =
        ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<Latency> found;
    for (DWORD index = 0; !found; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!::SetupDiEnumDeviceInfo(devices, index, &info)) break;
        const HKEY key =
            ::SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        DWORD ms = 0;
        if (sameName(readText(key, L"PortName"), platform::wide(port)) &&
            readDword(key, L"LatencyTimer", ms)) {
            wchar_t name[256] = {};
            DWORD type = 0;
            Latency latency{ms, {}};
            if (::SetupDiGetDeviceRegistryPropertyW(devices, &info, SPDRP_FRIENDLYNAME, &type,
                                                    reinterpret_cast<BYTE*>(name),
                                                    sizeof name - sizeof(wchar_t), nullptr) &&
                type == REG_SZ) {
                latency.adapter = platform::utf8(name);
            }
            found = latency;
        }
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// A USB adapter that hands over received bytes only every LatencyTimer ms makes every reply
// wait for it. Found once per port and program run.
std::optional<link::SlowAdapter> slowAdapter(const std::string& port) {
    static std::mutex mutex;
    static std::set<std::string> advised;
    const std::optional<Latency> latency = latencyOf(port);
    if (!latency || latency->ms <= 1) return std::nullopt;
    {
        const std::lock_guard lock(mutex);
        if (!advised.insert(port).second) return std::nullopt;
    }
    return link::SlowAdapter{port, static_cast<int>(latency->ms), latency->adapter};
}

// 38400 baud, 8N1, binary, no flow control of either kind, DTR and RTS on (some adapters and
// level shifters draw their power from them).
bool setLine(HANDLE handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) return false;
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (::SetCommState(handle, &dcb)) return true;
    // A line without modem control (Wine's pseudo-terminals) refuses DTR and RTS; the data
    // lines work without them.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!::SetCommState(handle, &dcb)) return false;
    ::EscapeCommFunction(handle, SETDTR);
    ::EscapeCommFunction(handle, SETRTS);
    return true;
}

}  // namespace

platform::Result<link::OpenedPort> openSerialPort(std::string_view device, link::Clock& clock) {
    using platform::ErrorNumber;
    const std::string shown = shownName(device);
    if (device.empty()) return platform::Fault{ErrorNumber::InvalidArgument, "No port given"};
    const HANDLE handle =
        ::CreateFileW(platform::wide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return platform::Fault{ErrorNumber::PermissionDenied, busyMessage(shown)};
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return platform::Fault{ErrorNumber::FileNotFound, "Port " + shown + " does not exist"};
        return platform::Fault{ErrorNumber::DeviceIo,
                               "Cannot open " + shown + ": " + systemText(error)};
    }
    // The time-outs first: no write, not even the first, may wait without an end.
    if (!setTimeouts(handle, Reading::Drain, 0) || !setLine(handle)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        return platform::Fault{
            ErrorNumber::DeviceIo,
            "Cannot set up " + shown + " as a serial port: " + systemText(error)};
    }
    ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return link::OpenedPort{std::make_unique<WindowsPort>(handle, shown, clock),
                            slowAdapter(shown)};
}

}  // namespace korvath::serial
