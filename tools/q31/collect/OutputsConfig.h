// The configuration's outputs beside the database: [sink.postgres],
// [sink.mqtt] and [http], each on when its table is there.
#pragma once

#include <string>
#include <string_view>

#include <toml++/toml.h>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/ConfigReader.h"

namespace q31::tool::collect {

void ReadOutputs(const std::string& path, const toml::table& root, CollectConfig& config);

// `listen`: HOST:PORT, [IPv6]:PORT or :PORT (every interface); port 0 takes any free one.
void CheckListen(const ConfigReader& r, const std::string& listen);

// A name that becomes levels of an MQTT topic: a wildcard makes every
// publish fail, a control character fails as malformed text.
void CheckTopicLevel(const ConfigReader& r, std::string_view key, const std::string& value);

}  // namespace q31::tool::collect
