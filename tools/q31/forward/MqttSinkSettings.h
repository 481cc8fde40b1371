// [sink.mqtt]: one message per stored batch, for dashboards and automation.
#pragma once

#include <string>

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
};

}  // namespace q31::tool::forward
