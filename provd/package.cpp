#include "package.h"

#include <initializer_list>

#include "fnv.h"
#include "json_error.h"

using nlohmann::json;
using namespace fnv::literals;

namespace {

constexpr const char* kHidden = "<hidden>";

class PackageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The value as a T, or a PackageError that names it and says what it was.
template <typename T>
T Get(const json& value, const std::string& where);

template <>
const json& Get<const json&>(const json& value, const std::string& where) {
    if (!value.is_object())
        throw PackageError(where + " must be an object, not " + value.type_name());
    return value;
}

template <>
std::string Get<std::string>(const json& value, const std::string& where) {
    if (!value.is_string())
        throw PackageError(where + " must be a string, not " + value.type_name());
    return value.get<std::string>();
}

template <>
std::vector<std::string> Get<std::vector<std::string>>(const json& value,
                                                       const std::string& where) {
    if (!value.is_array())
        throw PackageError(where + " must be an array, not " + value.type_name());
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < value.size(); ++i)
        texts.push_back(Get<std::string>(value[i], where + "[" + std::to_string(i) + "]"));
    return texts;
}

template <typename Settings, typename T>
struct Field {
    const char* name;
    T Settings::*member;
};

// The object's known members, each checked for its type; the others are ignored.
template <typename Settings, typename... T>
Settings Read(const json& value, const std::string& where, const Field<Settings, T>&... fields) {
    Settings settings;
    for (const auto& [name, member] : Get<const json&>(value, where).items()) {
        ((name == fields.name
              ? void(settings.*fields.member = Get<T>(member, where + "." + fields.name))
              : void()),
         ...);
    }
    return settings;
}

WirelessSettings Wireless(const json& value) {
    using S = WirelessSettings;
    return Read(value, "wireless", Field<S, std::string>{"ssid", &S::ssid},
                Field<S, std::string>{"encryption", &S::encryption},
                Field<S, std::string>{"key", &S::key});
}

TokenSettings Tokens(const json& value) {
    using S = TokenSettings;
    return Read(value, "tokens", Field<S, std::string>{"access", &S::access},
                Field<S, std::string>{"refresh", &S::refresh});
}

NetworkSettings Network(const json& value) {
    using S = NetworkSettings;
    return Read(value, "network", Field<S, std::string>{"proto", &S::proto},
                Field<S, std::string>{"ipaddr", &S::ipaddr},
                Field<S, std::string>{"netmask", &S::netmask},
                Field<S, std::string>{"gateway", &S::gateway},
                Field<S, std::vector<std::string>>{"dns", &S::dns});
}

void Hide(json& object, const char* member) {
    if (object.contains(member))
        object[member] = kHidden;
}

// The secrets of member `name`; one that is not an object is hidden whole: of the wrong shape,
// anything in it may be a secret ("tokens" as an array of both tokens).
void HideIn(json& document, const char* name, std::initializer_list<const char*> secrets) {
    const auto it = document.find(name);
    if (it == document.end())
        return;
    if (!it->is_object()) {
        *it = kHidden;
        return;
    }
    for (const char* secret : secrets)
        Hide(*it, secret);
}

}  // namespace

std::optional<ProvisioningPackage> ParsePackage(const std::string& text, std::string& error) {
    try {
        return ParsePackage(json::parse(text), error);
    } catch (const std::exception& e) {
        error = JsonErrorText(e);
        return std::nullopt;
    }
}

std::optional<ProvisioningPackage> ParsePackage(const json& document, std::string& error) {
    try {
        ProvisioningPackage package;
        for (const auto& [name, member] : Get<const json&>(document, "the package").items()) {
            switch (fnv::Hash(name)) {
                case "wireless"_hash:
                    package.wireless = Wireless(member);
                    break;
                case "tokens"_hash:
                    package.tokens = Tokens(member);
                    break;
                case "network"_hash:
                    package.network = Network(member);
                    break;
                default:
                    break;
            }
        }
        return package;
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
}

json HideSecrets(const json& document) {
    json copy = document;
    if (!copy.is_object())
        return copy;
    Hide(copy, "key");
    HideIn(copy, "wireless", {"key"});
    HideIn(copy, "tokens", {"access", "refresh"});
    return copy;
}
