#include <libudev.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

#include "ports/system/port_list.h"

namespace korvath::ports::detail {

namespace {

struct UdevFree {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

std::string text(const char* value) {
    return value == nullptr ? std::string() : std::string(value);
}

std::string attribute(udev_device* device, const char* name) {
    return device == nullptr ? std::string() : text(udev_device_get_sysattr_value(device, name));
}

// udev's own reading of the USB strings when the device's attributes lack them.
std::string property(udev_device* device, const char* name) {
    return text(udev_device_get_property_value(device, name));
}

std::string lower(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return value;
}

std::string byIdLink(udev_device* device) {
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(device); link != nullptr;
         link = udev_list_entry_get_next(link)) {
        const std::string path = text(udev_list_entry_get_name(link));
        if (path.starts_with("/dev/serial/by-id/")) return path;
    }
    return {};
}

// A tty backed by hardware, not a virtual console or a pseudo-terminal. The 8250 driver keeps
// placeholders (ttyS0 to ttyS31) for ports that may not exist; only those with an I/O port or
// memory behind them are real.
bool isSerialPort(udev_device* device) {
    udev_device* parent = udev_device_get_parent(device);
    if (parent == nullptr) return false;
    if (text(udev_device_get_driver(parent)) == "serial8250") {
        const std::string type = attribute(device, "type");
        return !type.empty() && type != "0";
    }
    return true;
}

}  // namespace

std::vector<ListedPort> listPorts() {
    std::vector<ListedPort> ports;
    const std::unique_ptr<udev, UdevFree> context(udev_new());
    if (!context) return ports;
    const std::unique_ptr<udev_enumerate, UdevFree> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return ports;
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    udev_enumerate_scan_devices(enumerate.get());
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        const std::unique_ptr<udev_device, UdevFree> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device || udev_device_get_devnode(device.get()) == nullptr) continue;
        if (!isSerialPort(device.get())) continue;

        ListedPort port;
        port.name = text(udev_device_get_sysname(device.get()));
        port.byId = byIdLink(device.get());
        // Borrowed from the tty: freed with it.
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
        if (usb != nullptr) {
            port.description = attribute(usb, "product");
            port.maker = attribute(usb, "manufacturer");
            port.serialNumber = attribute(usb, "serial");
            const std::string vendor = attribute(usb, "idVendor");
            const std::string product = attribute(usb, "idProduct");
            if (!vendor.empty() && !product.empty()) port.usbId = lower(vendor + ":" + product);
        }
        if (port.description.empty())
            port.description = property(device.get(), "ID_MODEL_FROM_DATABASE");
        if (port.maker.empty()) port.maker = property(device.get(), "ID_VENDOR_FROM_DATABASE");
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const ListedPort& a, const ListedPort& b) { return nameBefore(a.name, b.name); });
    return ports;
}

std::string devicePath(const std::string& name) {
    return "/dev/" + name;
}

}  // namespace korvath::ports::detail
