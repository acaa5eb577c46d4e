#pragma once

#include <map>
#include <optional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "log.h"

// BlueZ's D-Bus names and the checked reading of the values it sends.
namespace bluez {

constexpr const char* kService = "org.bluez";
constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";

using Properties = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, Properties>;

// The value of a property when it has the expected D-Bus type; otherwise logs and gives
// nothing, so one odd value never reaches the event loop as an exception.
template <typename T>
std::optional<T> ValueOf(const std::string& name, const sdbus::Variant& value) {
    try {
        if (value.containsValueOfType<T>())
            return value.get<T>();
        LOGE << "Property " << name << " has type '" << value.peekValueType() << "', expected '"
             << sdbus::signature_of<T>::str() << "'";
    } catch (const sdbus::Error& e) {
        LOGE << "Property " << name << ": " << e.what();
    }
    return std::nullopt;
}

}  // namespace bluez
