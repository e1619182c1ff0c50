// Names from the registry's SERIALCOMM map, which every port driver fills in; SetupAPI adds the
// friendly name and the USB identity where it knows the port. Wine's SetupAPI knows none, so
// the names alone make a full list.
// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <map>

#include "platform/wide_text.h"
#include "ports/system/port_list.h"
#include "ports/windows_port_name.h"

namespace korvath::ports::detail {

namespace {

// A registry string up to its first terminator (the registry does not promise one).
std::wstring registryText(const std::vector<wchar_t>& data, DWORD bytes) {
    std::wstring text(data.data(), bytes / sizeof(wchar_t));
    if (const auto end = text.find(L'\0'); end != std::wstring::npos) text.resize(end);
    return text;
}

std::vector<std::string> registeredNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD nameLength = static_cast<DWORD>(std::size(valueName));
        std::vector<wchar_t> data(256);
        DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = 0;
        const LONG status = ::RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data.data()), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        const std::string name = platform::utf8(registryText(data, dataBytes));
        if (!name.empty()) names.push_back(name);
    }
    ::RegCloseKey(key);
    return names;
}

std::wstring deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& info, DWORD property) {
    std::vector<wchar_t> data(512);
    DWORD type = 0;
    DWORD bytes = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(
            devices, &info, property, &type, reinterpret_cast<BYTE*>(data.data()),
            static_cast<DWORD>(data.size() * sizeof(wchar_t)), &bytes)) {
        return {};
    }
    return registryText(data, bytes);
}

std::wstring portNameOf(HDEVINFO devices, SP_DEVINFO_DATA& info) {
    const HKEY key =
        ::SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    std::vector<wchar_t> data(64);
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    DWORD type = 0;
    std::wstring name;
    if (::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                           &bytes) == ERROR_SUCCESS &&
        type == REG_SZ) {
        name = registryText(data, bytes);
    }
    ::RegCloseKey(key);
    return name;
}

// "USB\VID_0403&PID_6001\A50285BI": the id and, when the last part is the adapter's own serial
// number rather than a place in the bus (which has '&' in it), the serial number.
void readInstanceId(const std::wstring& id, ListedPort& port) {
    std::wstring upper = id;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    const auto vid = upper.find(L"VID_");
    const auto pid = upper.find(L"PID_");
    if (vid == std::wstring::npos || pid == std::wstring::npos || vid + 8 > upper.size() ||
        pid + 8 > upper.size()) {
        return;
    }
    std::string usbId =
        platform::utf8(upper.substr(vid + 4, 4)) + ":" + platform::utf8(upper.substr(pid + 4, 4));
    std::transform(usbId.begin(), usbId.end(), usbId.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    port.usbId = usbId;
    const auto lastSlash = id.rfind(L'\\');
    if (lastSlash != std::wstring::npos && lastSlash > pid) {
        const std::wstring serial = id.substr(lastSlash + 1);
        if (!serial.empty() && serial.find(L'&') == std::wstring::npos)
            port.serialNumber = platform::utf8(serial);
    }
}

// What SetupAPI says about each port it knows, by port name in capitals.
std::map<std::string, ListedPort> describedPorts() {
    std::map<std::string, ListedPort> described;
    const HDEVINFO devices =
        ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return described;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!::SetupDiEnumDeviceInfo(devices, index, &info)) break;
        const std::string name = platform::utf8(portNameOf(devices, info));
        if (name.empty()) continue;
        ListedPort port;
        port.name = name;
        port.description = platform::utf8(deviceProperty(devices, info, SPDRP_FRIENDLYNAME));
        port.maker = platform::utf8(deviceProperty(devices, info, SPDRP_MFG));
        std::vector<wchar_t> id(512);
        if (::SetupDiGetDeviceInstanceIdW(devices, &info, id.data(), static_cast<DWORD>(id.size()),
                                          nullptr)) {
            readInstanceId(id.data(), port);
        }
        described[windows::devicePath(name)] = std::move(port);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return described;
}

}  // namespace

std::vector<ListedPort> listPorts() {
    std::vector<ListedPort> ports;
    std::map<std::string, ListedPort> described = describedPorts();
    for (const std::string& name : registeredNames()) {
        const auto found = described.find(windows::devicePath(name));
        ListedPort port = found != described.end() ? found->second : ListedPort{};
        port.name = name;
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const ListedPort& a, const ListedPort& b) { return nameBefore(a.name, b.name); });
    ports.erase(
        std::unique(ports.begin(), ports.end(),
                    [](const ListedPort& a, const ListedPort& b) { return a.name == b.name; }),
        ports.end());
    return ports;
}

std::string devicePath(const std::string& name) {
    return name;
}

}  // namespace korvath::ports::detail
