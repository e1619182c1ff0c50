// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "platform/wide_text.h"

// Older MinGW headers lack the flag; Windows before 10 (1803) refuses it, and sleeping then falls
// back to Sleep in whole milliseconds.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace korvath::platform {

namespace {

/// The handle behind the C runtime's descriptor, so that a stream reopened with freopen is
/// judged by what it is now.
HANDLE handleOf(Stream stream) {
    const int fd = stream == Stream::Input ? 0 : stream == Stream::Output ? 1 : 2;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

/// One high-resolution timer per thread, closed when the thread ends. Sleep() waits whole
/// scheduler ticks (up to 15.6 ms for a 1 ms pause); this timer waits to about 0.5 ms.
class PauseTimer {
  public:
    PauseTimer()
        : handle_(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                           TIMER_ALL_ACCESS)) {}
    ~PauseTimer() {
        if (handle_ != nullptr) ::CloseHandle(handle_);
    }
    PauseTimer(const PauseTimer&) = delete;
    PauseTimer& operator=(const PauseTimer&) = delete;

    /// Waits `ms` milliseconds or a little more; false when there is no such timer here.
    bool wait(double ms) {
        if (handle_ == nullptr) return false;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(std::ceil(ms * 10'000.0));  // 100 ns units, relative
        if (!::SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE)) return false;
        return ::WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
    }

  private:
    HANDLE handle_;
};

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

std::wstring wide(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), size);
    return result;
}

std::string utf8(std::wstring_view text) {
    text = text.substr(0, text.find(L'\0'));
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
    return result;
}

bool waitForInput(std::FILE* in, const std::stop_token& stop) {
    const HANDLE input = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(in)));
    DWORD mode = 0;
    // Only a console is waited on here; a pipe or a file is read at once.
    if (input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &mode))
        return !stop.stop_requested();
    const HANDLE stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopped == nullptr) return !stop.stop_requested();
    {
        const std::stop_callback onStop(stop, [stopped] { ::SetEvent(stopped); });
        const HANDLE handles[2] = {stopped, input};
        ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    ::CloseHandle(stopped);
    return !stop.stop_requested();
}

bool isTerminal(Stream stream) {
    const HANDLE handle = handleOf(stream);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

bool enableTerminalControls(Stream stream) {
    if (!isTerminal(stream)) return false;
    if (stream == Stream::Input) return true;
    ::SetConsoleOutputCP(CP_UTF8);
    const HANDLE handle = handleOf(stream);
    DWORD mode = 0;
    ::GetConsoleMode(handle, &mode);
    return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::optional<TerminalSize> terminalSize(std::FILE* stream) {
    if (stream == nullptr) return std::nullopt;
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info))
        return std::nullopt;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns <= 0) return std::nullopt;
    TerminalSize result;
    result.columns = columns;
    if (rows > 0) result.rows = rows;
    return result;
}

void sleepFor(double ms) {
    if (ms <= 0) return;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double, std::milli>(ms);
    thread_local PauseTimer timer;
    // A wait may end a little early on a coarse clock; wait again for what is left.
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        const double left = std::chrono::duration<double, std::milli>(deadline - now).count();
        if (!timer.wait(left)) ::Sleep(static_cast<DWORD>(std::ceil(left)));
    }
}

void exactTimers() {}

void failOversizeWrites() {}

std::string hostName() {
    wchar_t name[256] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return {};
    return utf8({name, length});
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    int count = 0;
    if (wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) texts_.push_back(utf8(arguments[i]));
        ::LocalFree(arguments);
    } else {
        texts_.assign(argv, argv + argc);
    }
    for (auto& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
}

bool isFullPath(const std::filesystem::path& path) {
    // GCC 12's library takes neither "\\server\share\x" nor "\\?\C:\x" for absolute.
    const std::wstring& text = path.native();
    if (text.size() >= 3 && isSeparator(text[0]) && isSeparator(text[1])) return true;
    return text.size() >= 3 && text[1] == L':' && isSeparator(text[2]) &&
           ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
}

}  // namespace korvath::platform
