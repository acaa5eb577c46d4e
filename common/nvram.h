#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uci.h"

// Host name part of a cloud URL; the built-in cloud host when the URL does not parse.
std::string UrlToHost(const std::string& url);

// Typed settings of the "halvex" package, filled by the loaders at start-up.
class NVRAM {
  public:
    static constexpr const char* kConfig = "halvex";
    static constexpr const char* kDefaultCloudHost = "cloud.halvex.net";

    virtual ~NVRAM() = default;

    // Each loader reads one section; a field keeps its value when its option is missing or
    // when the answer cannot be used.
    void LoadSysParams();
    void LoadAuthParams();
    void LoadMQTTParams();
    void LoadWhitelist();

    // "sys"
    std::string url;
    std::string host;  // taken out of url
    std::string prov_url;
    std::string device_id;
    int first_boot = 0;
    std::string ca_file;       // CA bundle for the cloud; empty: the system's
    int tls_verify = 1;        // 0 turns peer and host checks off
    int gatt_timeout = 30;     // blehub: seconds a node has to show its characteristics
    int max_samples = 20000;   // reportd: samples kept while the cloud is unreachable
    int report_interval = 30;  // reportd: seconds between report passes
    int queue_limit = 10000;   // readings a main loop's queue holds before the oldest go
    std::vector<std::string> whitelist;

    // "auth"
    std::string access_token;
    std::string refresh_token;
    std::string client_id;
    std::string client_secret;

    // "mqtt"
    std::string mqtt_host = "0.0.0.0";
    int mqtt_port = 1883;
    int mqtt_enable = 0;

    // blehub's device store: one "node" section per stored sensor.
    void LoadNodePaths();
    const std::vector<std::string>& NodePaths() const { return nodePaths; }
    bool IsWhitelisted(const std::string& deviceId) const;
    bool HasNodePath(const std::string& path);
    void SaveNode(const std::string& path, const std::string& deviceId, const std::string& address);
    void RemoveNode(const std::string& path);
    std::optional<std::string> FindNodePath(const std::string& deviceId);
    std::string FindNodeId(const std::string& path);
    std::string FindNodeAddress(const std::string& deviceId);
    // The "device_id" of every stored sensor, in store order.
    std::vector<std::string> NodeIds();

  private:
    nlohmann::json GetSection(const char* section);

    UCI uci;
    std::vector<std::string> nodePaths;
};
