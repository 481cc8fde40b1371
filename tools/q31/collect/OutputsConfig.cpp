#include "tools/q31/collect/OutputsConfig.h"

#include <cstdlib>

#include <libpq-fe.h>

#include "tools/q31/collect/PrintableText.h"

namespace q31::tool::collect {

namespace {

constexpr const KeyRow& kBatchRows = Key(KeyTable::Postgres, "batch_rows");
constexpr const KeyRow& kMqttHost = Key(KeyTable::Mqtt, "host");
constexpr const KeyRow& kMqttPort = Key(KeyTable::Mqtt, "port");
constexpr const KeyRow& kPrefix = Key(KeyTable::Mqtt, "prefix");
constexpr const KeyRow& kKeepalive = Key(KeyTable::Mqtt, "keepalive_s");
constexpr const KeyRow& kHomeAssistant = Key(KeyTable::Mqtt, "homeassistant");
constexpr const KeyRow& kHomeAssistantPrefix = Key(KeyTable::Mqtt, "homeassistant_prefix");
constexpr const KeyRow& kListen = Key(KeyTable::Http, "listen");
constexpr std::string_view kSinks[] = {"postgres", "mqtt"};

// What libpq takes: a postgresql:// (or postgres://) URL, or key=value
// pairs; anything else it would take for a database name, and fail only
// when the sink first connects.
void CheckPostgresUrl(const ConfigReader& r, const std::string& url) {
    const bool uri = url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
    if (!uri && url.find('=') == std::string::npos)
        r.Fail("url", "must be postgresql://USER@HOST:PORT/DATABASE or key=value pairs (host=... dbname=...)");
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (options) {
        PQconninfoFree(options);
        return;
    }
    // libpq's reason quotes the string, which may hold a password.
    PQfreemem(error);
    r.Fail("url", "not a connection string libpq takes (" + std::string(uri ? "URL" : "key=value pairs") + ")");
}

// password_file, with a leading ${CREDENTIALS_DIRECTORY} replaced by the
// directory systemd hands the service its LoadCredential= files in.
std::string PasswordFile(const ConfigReader& r) {
    std::string file = r.Get<std::string>("password_file").value_or("");
    constexpr std::string_view kCredentials = "${CREDENTIALS_DIRECTORY}";
    if (file.rfind(kCredentials, 0) != 0) return file;
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir)
        r.Fail("password_file",
               "${CREDENTIALS_DIRECTORY} is not set: systemd sets it for a service with LoadCredential=; by hand, "
               "set it to the directory that holds the file");
    return dir + file.substr(kCredentials.size());
}

void ReadPostgres(const std::string& path, const toml::table& table, PostgresSinkSettings& p) {
    ConfigReader r(path, table, nullptr, "sink.postgres");
    r.RefuseUnknown(KeysOf(KeyTable::Postgres));
    p.enabled = true;
    p.url = r.Get<std::string>("url").value_or("");
    if (p.url.empty()) r.Fail("url", "required: postgresql://USER@HOST:PORT/DATABASE");
    CheckPostgresUrl(r, p.url);
    p.passwordFile = PasswordFile(r);
    p.batchRows = static_cast<int>(r.Int(kBatchRows));
}

void ReadMqtt(const std::string& path, const toml::table& table, MqttSinkSettings& m) {
    ConfigReader r(path, table, nullptr, "sink.mqtt");
    r.RefuseUnknown(KeysOf(KeyTable::Mqtt));
    m.enabled = true;
    m.host = r.Text(kMqttHost);
    if (m.host.empty() || m.host.find("://") != std::string::npos || m.host.find_first_of(" /") != std::string::npos ||
        HasControl(m.host))
        r.Fail("host", "must be a host name or address, e.g. \"broker.example.org\" (not a URL)");
    m.port = static_cast<int>(r.Int(kMqttPort));
    m.prefix = r.Text(kPrefix);
    if (m.prefix.empty()) r.Fail("prefix", "must not be empty: the first level of every topic");
    CheckTopicLevel(r, "prefix", m.prefix);
    m.clientId = r.Get<std::string>("client_id").value_or("");
    if (HasControl(m.clientId)) r.Fail("client_id", "holds a control character");
    m.username = r.Get<std::string>("username").value_or("");
    if (HasControl(m.username)) r.Fail("username", "holds a control character");
    m.passwordFile = PasswordFile(r);
    m.caFile = r.Get<std::string>("ca_file").value_or("");
    m.certFile = r.Get<std::string>("cert_file").value_or("");
    m.keyFile = r.Get<std::string>("key_file").value_or("");
    m.keepaliveS = static_cast<int>(r.Int(kKeepalive));
    m.homeAssistant = r.Flag(kHomeAssistant);
    m.homeAssistantPrefix = r.Text(kHomeAssistantPrefix);
    if (m.homeAssistantPrefix.empty())
        r.Fail("homeassistant_prefix", "must not be empty: the first level of its topics");
    CheckTopicLevel(r, "homeassistant_prefix", m.homeAssistantPrefix);
}

}  // namespace

void CheckListen(const ConfigReader& r, const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size())
        r.Fail("listen", "must be HOST:PORT, e.g. \"127.0.0.1:9731\"");
    const std::string host = listen.substr(0, colon);
    const std::string port = listen.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
        r.Fail("listen", "the port must be a number 0..65535, not \"" + port + "\"");
    const bool bracketed = !host.empty() && host.front() == '[';
    if (bracketed != (!host.empty() && host.back() == ']') || (!bracketed && host.find(':') != std::string::npos) ||
        host.find_first_of(" /") != std::string::npos || HasControl(host))
        r.Fail("listen", "the host must be a name, an IPv4 address or an [IPv6] address, not \"" + host + "\"");
}

void CheckTopicLevel(const ConfigReader& r, std::string_view key, const std::string& value) {
    if (value.find_first_of("+#") != std::string::npos)
        r.Fail(key, "holds an MQTT wildcard (+ or #), which no topic may carry");
    if (HasControl(value)) r.Fail(key, "holds a control character");
}

void ReadOutputs(const std::string& path, const toml::table& root, CollectConfig& config) {
    if (const toml::table* sinks = root["sink"].as_table()) {
        ConfigReader(path, *sinks, nullptr, "sink").RefuseUnknown(kSinks);
        for (auto&& [k, v] : *sinks)
            if (!v.is_table()) Refuse(path, k.source(), "sink." + std::string(k.str()) + ": must be a table");
        if (const toml::table* t = (*sinks)["postgres"].as_table()) ReadPostgres(path, *t, config.postgres);
        if (const toml::table* t = (*sinks)["mqtt"].as_table()) ReadMqtt(path, *t, config.mqtt);
    }
    if (const toml::table* t = root["http"].as_table()) {
        ConfigReader r(path, *t, nullptr, "http");
        r.RefuseUnknown(KeysOf(KeyTable::Http));
        config.http.enabled = true;
        config.http.listen = r.Text(kListen);
        CheckListen(r, config.http.listen);
    }
}

}  // namespace q31::tool::collect
