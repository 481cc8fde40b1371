// A libpq result, cleared when it goes.
#pragma once

#include <libpq-fe.h>

#include <memory>

namespace q31::tool::forward {

struct PostgresResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using PostgresResult = std::unique_ptr<PGresult, PostgresResultFree>;

}  // namespace q31::tool::forward
