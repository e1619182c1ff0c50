#include "terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace korvath::cli {

int terminalColumns(std::FILE* stream, int fallback) {
    if (stream == nullptr) return fallback;
#if defined(_WIN32)
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info))
        return fallback;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return fallback;
    const int columns = size.ws_col;
#endif
    return columns > 0 ? columns : fallback;
}

}  // namespace korvath::cli
