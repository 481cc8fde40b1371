#include "tests/forward/PostgresServer.h"

#include "support/FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace q31::test {
namespace {

namespace fs = std::filesystem;

// The newest server installed the Debian way, beside its version's tools.
std::string FindBinDir() {
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const fs::path bin = entry.path() / "bin";
        if (!fs::exists(bin / "postgres") || !fs::exists(bin / "initdb") || !fs::exists(bin / "pg_ctl")) continue;
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion) {
            bestVersion = version;
            best = bin.string();
        }
    }
    return best;
}

// The server refuses to run as root: then the cluster belongs to the user
// the Debian package makes for it.
bool AsRoot() { return ::geteuid() == 0; }

int FreePort() {
    const int port = FreeLoopbackPort();
    if (port == 0) throw std::runtime_error("no free port on 127.0.0.1");
    return port;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ConnFree {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};

}  // namespace

bool PostgresServer::Available() {
    if (FindBinDir().empty()) return false;
    return !AsRoot() || (::getpwnam("postgres") != nullptr && std::system("command -v runuser >/dev/null") == 0);
}

PostgresServer::PostgresServer(bool durable) : bin_(FindBinDir()) {
    if (bin_.empty()) throw std::runtime_error("no PostgreSQL server under /usr/lib/postgresql");
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/q31pg.XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    dir_ = pattern;
    if (AsRoot() && std::system(("chown postgres: " + dir_).c_str()) != 0) {
        throw std::runtime_error("cannot give " + dir_ + " to the postgres user");
    }
    const std::string initdb = AsOwner(bin_ + "/initdb -D " + dir_ + "/data -U postgres -A trust -E UTF8 --no-locale " +
                                       "--no-sync --no-instructions >" + dir_ + "/initdb.log 2>&1");
    if (std::system(initdb.c_str()) != 0) {
        throw std::runtime_error("initdb failed: " + ReadFile(dir_ + "/initdb.log"));
    }
    {
        std::ofstream hba(dir_ + "/data/pg_hba.conf", std::ios::trunc);
        hba << "local all all trust\n"
               "host all +password_login 127.0.0.1/32 scram-sha-256\n"
               "host all all 127.0.0.1/32 trust\n";
        std::ofstream conf(dir_ + "/data/postgresql.conf", std::ios::app);
        conf << "listen_addresses = '127.0.0.1'\nunix_socket_directories = '" << dir_ << "'\ntimezone = 'UTC'\n";
        if (!durable) conf << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
    }
    port_ = FreePort();
    Start();
    Exec("postgres", "CREATE ROLE password_login NOLOGIN");
}

PostgresServer::~PostgresServer() {
    try {
        if (running_) Stop();
    } catch (const std::exception&) {
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string PostgresServer::AsOwner(const std::string& command) const {
    return AsRoot() ? "runuser -u postgres -- " + command : command;
}

void PostgresServer::PgCtl(const std::string& args) const {
    const std::string command =
        AsOwner(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 " + args + " >/dev/null");
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("pg_ctl " + args + " failed: " + ReadFile(dir_ + "/server.log"));
    }
}

void PostgresServer::Start() {
    PgCtl("-o '-p " + std::to_string(port_) + "' start");
    running_ = true;
}

void PostgresServer::Stop() {
    running_ = false;
    PgCtl("-m immediate stop");
}

std::string PostgresServer::Url(const std::string& database, const std::string& user) const {
    return "postgresql://" + user + "@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::Psql() const {
    const std::string beside = bin_ + "/psql";
    return fs::exists(beside) ? beside : "psql";
}

void PostgresServer::CreateDatabase(const std::string& name, const std::string& owner) {
    Exec("postgres", "CREATE DATABASE " + name + " OWNER " + owner);
}

void PostgresServer::Exec(const std::string& database, const std::string& sql) const { Rows(database, sql); }

std::vector<std::string> PostgresServer::Rows(const std::string& database, const std::string& sql,
                                              const std::vector<std::string>& params) const {
    std::unique_ptr<PGconn, ConnFree> conn(PQconnectdb(Url(database).c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error("cannot connect to " + database + ": " + PQerrorMessage(conn.get()));
    }
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    // Without parameters, a text of several statements runs as a whole.
    std::unique_ptr<PGresult, ResultFree> r(params.empty()
                                                ? PQexec(conn.get(), sql.c_str())
                                                : PQexecParams(conn.get(), sql.c_str(), static_cast<int>(values.size()),
                                                               nullptr, values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + PQresultErrorMessage(r.get()));
    }
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        std::string row;
        for (int j = 0; j < PQnfields(r.get()); ++j) {
            if (j) row += '|';
            row += PQgetisnull(r.get(), i, j) ? "NULL" : PQgetvalue(r.get(), i, j);
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace q31::test
