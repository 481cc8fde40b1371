// The tables the PostgreSQL sink keeps, and the statements it ships with.
#pragma once

#include <span>

namespace q31::tool::forward {

// Prepared once per connection: the statement names and their text.
struct PostgresStatement {
    const char* name;
    const char* types;  // of the parameters: t text, l int8, i int4, L int8[], I int4[], B bytea[]
    const char* sql;
};

// The migrations in order: the first makes schema version 1 of an empty
// database, each further one brings a schema up by one version.
std::span<const char* const> PostgresMigrations();
std::span<const PostgresStatement> PostgresStatements();

}  // namespace q31::tool::forward
