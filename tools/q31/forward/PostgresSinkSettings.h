// [sink.postgres]: the journal shipped to a PostgreSQL database that many
// gateways share.
#pragma once

#include <string>

namespace q31::tool::forward {

struct PostgresSinkSettings {
    bool enabled = false;
    std::string url;           // postgresql://user@host:port/db (a password in it is allowed but warned of)
    std::string passwordFile;  // the password, read when connecting
    int batchRows = 5000;      // archive values per transaction, about
};

}  // namespace q31::tool::forward
