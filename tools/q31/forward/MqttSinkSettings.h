// [sink.mqtt]: one message per stored batch, for dashboards and automation.
#pragma once

#include <map>
#include <string>

#include "tools/q31/common/Quantity.h"

namespace q31::tool::forward {

struct MqttSinkSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "q31";  // topics: PREFIX/GATEWAY/METER/KIND
    std::string clientId;        // default: q31-GATEWAY; the broker keeps its session
    std::string username;
    std::string passwordFile;
    std::string caFile;  // TLS when given
    std::string certFile;
    std::string keyFile;
    int keepaliveS = 30;
    // Home Assistant's discovery: configs under `homeAssistantPrefix`, an
    // availability topic with the connection's last will.
    bool homeAssistant = false;
    std::string homeAssistantPrefix = "homeassistant";
    // A stop says "offline" too (a collector that runs on); a run from cron
    // leaves the gateway online between runs, and only a crash says offline.
    bool offlineOnStop = true;
    // The quantities in force by meter: the names Home Assistant shows.
    std::map<std::string, QuantityMap> quantities;
};

}  // namespace q31::tool::forward
