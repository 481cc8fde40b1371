#include "tools/q31/status/StatusServer.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <ctime>

#include "tools/q31/status/BoundedPool.h"
#include "tools/q31/status/PrometheusText.h"
#include "tools/q31/status/StatusPage.h"

namespace q31::tool::forward {

namespace {

// An idle connection is closed after this; a scrape is a single request.
constexpr int kIdleSeconds = 2;
constexpr int kReadSeconds = 3;
constexpr int kWriteSeconds = 5;
constexpr int kRequestsPerConnection = 20;

// HOST:PORT into its parts; the reason when it is none.
const char* ParseListen(const std::string& listen, std::string& host, int& port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) return "not HOST:PORT";
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "0.0.0.0";  // ":9731": every interface
    port = -1;
    try {
        std::size_t used = 0;
        port = std::stoi(listen.substr(colon + 1), &used);
        if (colon + 1 + used != listen.size()) port = -1;
    } catch (const std::exception&) {
    }
    if (port < 0 || port > 65535) return "not a port number";
    return nullptr;
}

// A handler that answers with `body`'s text, or 503 with the reason when the
// database cannot be read.
httplib::Server::Handler Serve(StatusServer* server, std::string (StatusServer::*body)(), const char* type) {
    return [server, body, type](const httplib::Request&, httplib::Response& res) {
        try {
            res.set_content((server->*body)(), type);
        } catch (const std::exception& e) {
            res.status = 503;
            res.set_content(std::string("q31 collect: ") + e.what() + "\n", "text/plain; charset=utf-8");
        }
        res.set_header("Cache-Control", "no-store");
    };
}

}  // namespace

StatusServer::StatusServer(const HttpSettings& settings, std::string dbPath, std::string gateway, SinkStatus sinks)
    : settings_(settings), gateway_(std::move(gateway)), model_(std::move(dbPath), std::move(sinks)) {}

StatusServer::~StatusServer() { Stop(); }

bool StatusServer::Start(std::string* error) {
    if (thread_.joinable()) return true;
    auto fail = [&](const std::string& why) {
        if (error) *error = "http: cannot listen on " + settings_.listen + ": " + why;
        server_.reset();
        return false;
    };
    std::string host;
    int port = -1;
    if (const char* why = ParseListen(settings_.listen, host, port)) return fail(why);

    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new BoundedPool; };
    server_->set_keep_alive_timeout(kIdleSeconds);
    server_->set_keep_alive_max_count(kRequestsPerConnection);
    server_->set_read_timeout(kReadSeconds, 0);
    server_->set_write_timeout(kWriteSeconds, 0);
    server_->Get("/metrics", Serve(this, &StatusServer::Metrics, "text/plain; version=0.0.4; charset=utf-8"));
    server_->Get("/", Serve(this, &StatusServer::Page, "text/html; charset=utf-8"));

    if (port == 0) {
        port = server_->bind_to_any_port(host);
        if (port < 0) return fail("no port free");
    } else if (!server_->bind_to_port(host, port)) {
        return fail("address in use or not on this machine");
    }
    port_ = port;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, ended] {
        server_->listen_after_bind();
        *ended = true;
    });
    // The server can only be stopped once it runs: wait for that, so that a
    // Stop right after Start cannot be missed.
    while (!server_->is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (*ended) {
        thread_.join();
        port_ = 0;
        return fail("the server ended at once");
    }
    return true;
}

void StatusServer::Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
    server_.reset();
    port_ = 0;
}

std::string StatusServer::Metrics() {
    StatusSnapshot snapshot = model_.Read(false);
    if (channels_) snapshot.channels = channels_->Snapshot();
    return PrometheusText(snapshot, gateway_);
}

std::string StatusServer::Page() {
    const StatusSnapshot snapshot = model_.Read(true);
    return StatusPage(snapshot, gateway_, static_cast<std::int64_t>(std::time(nullptr)));
}

}  // namespace q31::tool::forward
