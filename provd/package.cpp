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

const json& Object(const json& value, const std::string& where) {
    if (!value.is_object())
        throw PackageError(where + " must be an object, not " + value.type_name());
    return value;
}

std::string Text(const json& value, const std::string& where) {
    if (!value.is_string())
        throw PackageError(where + " must be a string, not " + value.type_name());
    return value.get<std::string>();
}

std::vector<std::string> Texts(const json& value, const std::string& where) {
    if (!value.is_array())
        throw PackageError(where + " must be an array, not " + value.type_name());
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < value.size(); ++i)
        texts.push_back(Text(value[i], where + "[" + std::to_string(i) + "]"));
    return texts;
}

WirelessSettings Wireless(const json& value) {
    WirelessSettings w;
    for (const auto& [name, member] : Object(value, "wireless").items()) {
        switch (fnv::Hash(name)) {
            case "ssid"_hash:
                w.ssid = Text(member, "wireless.ssid");
                break;
            case "encryption"_hash:
                w.encryption = Text(member, "wireless.encryption");
                break;
            case "key"_hash:
                w.key = Text(member, "wireless.key");
                break;
            default:
                break;
        }
    }
    return w;
}

TokenSettings Tokens(const json& value) {
    TokenSettings t;
    for (const auto& [name, member] : Object(value, "tokens").items()) {
        switch (fnv::Hash(name)) {
            case "access"_hash:
                t.access = Text(member, "tokens.access");
                break;
            case "refresh"_hash:
                t.refresh = Text(member, "tokens.refresh");
                break;
            default:
                break;
        }
    }
    return t;
}

NetworkSettings Network(const json& value) {
    NetworkSettings n;
    for (const auto& [name, member] : Object(value, "network").items()) {
        switch (fnv::Hash(name)) {
            case "proto"_hash:
                n.proto = Text(member, "network.proto");
                break;
            case "ipaddr"_hash:
                n.ipaddr = Text(member, "network.ipaddr");
                break;
            case "netmask"_hash:
                n.netmask = Text(member, "network.netmask");
                break;
            case "gateway"_hash:
                n.gateway = Text(member, "network.gateway");
                break;
            case "dns"_hash:
                n.dns = Texts(member, "network.dns");
                break;
            default:
                break;
        }
    }
    return n;
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
        for (const auto& [name, member] : Object(document, "the package").items()) {
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
