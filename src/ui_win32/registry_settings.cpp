#include "ui_win32/registry_settings.h"

#include <windows.h>

#include <cstdint>

#include "ui_win32/win_text.h"

namespace korvath::ui_win32 {

namespace {

constexpr const wchar_t* kPortText = L"PortText";
constexpr const wchar_t* kImageFolder = L"ImageFolder";
constexpr const wchar_t* kLastImage = L"LastImage";
constexpr const wchar_t* kWindowLeft = L"WindowLeft";
constexpr const wchar_t* kWindowTop = L"WindowTop";

std::wstring readString(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ || bytes == 0) {
        return {};
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(bytes / sizeof(wchar_t));
    // A value need not end in a null; one that does leaves it behind here.
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

void writeString(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// A screen coordinate, which is negative on a monitor left of or above the main one, kept as
// the two's complement in a DWORD.
std::optional<int> readCoordinate(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return std::nullopt;
    }
    return static_cast<int>(static_cast<std::int32_t>(value));
}

void writeCoordinate(HKEY key, const wchar_t* name, int value) {
    const auto data = static_cast<DWORD>(static_cast<std::int32_t>(value));
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

}  // namespace

std::optional<Point> RegistrySettings::loadPlace() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    const std::optional<int> left = readCoordinate(key, kWindowLeft);
    const std::optional<int> top = readCoordinate(key, kWindowTop);
    RegCloseKey(key);
    if (!left || !top) return std::nullopt;
    return Point{*left, *top};
}

void RegistrySettings::savePlace(Point place) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    writeCoordinate(key, kWindowLeft, place.x);
    writeCoordinate(key, kWindowTop, place.y);
    RegCloseKey(key);
}

window::Remembered RegistrySettings::load() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    window::Remembered remembered;
    remembered.portText = utf8(readString(key, kPortText));
    remembered.imageFolder = readString(key, kImageFolder);
    remembered.lastImage = readString(key, kLastImage);
    RegCloseKey(key);
    return remembered;
}

void RegistrySettings::save(const window::Remembered& remembered) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    writeString(key, kPortText, wide(remembered.portText));
    writeString(key, kImageFolder, remembered.imageFolder.wstring());
    writeString(key, kLastImage, remembered.lastImage.wstring());
    RegCloseKey(key);
}

}  // namespace korvath::ui_win32
