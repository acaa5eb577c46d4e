#pragma once

#include <cstdint>

// wsbridge's work items on its mailbox queue (codes below 3007 are shared by all daemons).
enum BridgeMessage : int32_t {
    kSubscribe = 3008,         // std::string device id
    kUnsubscribe = 3009,       // std::string device id
    kSensorFolds = 3010,       // nlohmann::json event to relay
    kSensorBeacon = 3011,      // nlohmann::json event to relay
    kConnectionFailed = 3012,  // websocketpp::connection_hdl
    kConnectionOpened = 3013,  // websocketpp::connection_hdl
    kConnectionClosed = 3014,  // websocketpp::connection_hdl
    kLinkCheck = 3015,         // websocketpp::connection_hdl
};
