#include "owner_watch.h"

#include "log.h"

OwnerWatch::OwnerWatch(sdbus::IConnection& connection, const std::string& name, Handler handler)
    : name_(name), handler_(std::move(handler)) {
    slot_ = connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
            name + "'",
        [this](sdbus::Message& message) { OnSignal(message); });
}

void OwnerWatch::OnSignal(sdbus::Message& message) {
    std::string name, oldOwner, newOwner;
    try {
        message >> name >> oldOwner >> newOwner;
    } catch (const sdbus::Error& e) {
        LOGE << "Malformed NameOwnerChanged: " << e.what();
        return;
    }
    if (name != name_ || !handler_)
        return;
    if (!oldOwner.empty())
        handler_(false);
    if (!newOwner.empty())
        handler_(true);
}
