#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uci.h"

// "host" or "host:port" of a cloud url ("[v6]" for an IPv6 address), with or without its
// "http://" or "https://": a bare host name is a url too. "" when the url cannot be read.
std::string UrlAuthority(const std::string& url);
// Host name part of a cloud url; the built-in cloud host when it cannot be read.
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
    // False when the "sys" section could not be read (the whitelist is then unknown).
    bool LoadWhitelist();

    // "sys"
    std::string url;
    std::string host;  // taken out of url
    std::string prov_url;
    std::string device_id;
    std::string serial_number;
    int first_boot = 0;
    std::string ca_file;       // CA bundle for the cloud; empty: the system's
    int tls_verify = 1;        // 0 turns peer and host checks off
    int gatt_timeout = 30;     // blehub: seconds a node has to show its characteristics
    int max_samples = 20000;   // reportd: samples kept while the cloud is unreachable
    int report_interval = 30;  // reportd: seconds between report passes
    int queue_limit = 10000;   // readings a main loop's queue holds before the oldest go
    std::string probe_host;    // name looked up to tell whether the internet is reachable
    int wps_timeout = 100;     // provd: seconds before an unanswered WPS is started again
    int retry_delay = 2;       // provd: seconds between internet checks and download attempts
    int max_package = 65536;   // provd: bytes a provisioning package may have
    std::vector<std::string> whitelist;

    // reportd's journal of undelivered samples
    int journal = 1;             // 0 keeps them in memory only
    std::string store_dir;       // its flash folder; empty: none
    int spill_after = 60;        // seconds undelivered before samples go to flash
    int store_sync = 60;         // seconds between two writes to flash, at least
    int store_max_kb = 8192;     // bound of the flash folder
    int store_max_age = 604800;  // seconds a sample is kept in flash

    // "auth"
    std::string access_token;
    std::string refresh_token;
    std::string client_id;
    std::string client_secret;

    // "mqtt"
    std::string mqtt_host = "0.0.0.0";
    int mqtt_port = 1883;
    int mqtt_enable = 0;
    int mqtt_availability = 0;   // 1: "online"/"offline" on "brelix/<device_id>/status"
    int mqtt_tls = 0;            // 1: TLS with the broker's certificate checked
    std::string mqtt_ca_file;    // CA that signs the broker's certificate
    std::string mqtt_cert_file;  // client certificate and key, when the broker asks for one
    std::string mqtt_key_file;
    std::string mqtt_username;
    std::string mqtt_password;   // never logged
    int mqtt_qos = 0;            // for readings: 0 or 1
    int mqtt_max_queued = 5000;  // QoS 1 readings held while the broker is away
    int mqtt_keepalive = 60;     // seconds; also the wait for a CONNACK
    int mqtt_ha_discovery = 0;   // 1: Home Assistant discovery configs
    std::string mqtt_ha_prefix = "homeassistant";

    // provd's setters stage a change; Commit writes a package's staged changes, Revert drops
    // them. Each is false when the store refused it.
    bool SetWirelessParams(const std::string& ssid, const std::string& encryption,
                           const std::string& key);
    bool SetAuthParams(const std::string& access, const std::string& refresh);
    // Addresses and servers are written only for proto "static".
    bool SetNetworkParams(const std::string& proto, const std::string& ipaddr,
                          const std::string& netmask, const std::string& gateway,
                          const std::vector<std::string>& dns);
    // Also kept in this object; nothing is done for an empty value.
    bool SetDeviceId(const std::string& id);
    bool SetSerialNumber(const std::string& serial);
    bool SetHostname(const std::string& hostname);
    bool SetFirstBoot();
    bool Commit(const std::string& config);
    bool Revert(const std::string& config);

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
