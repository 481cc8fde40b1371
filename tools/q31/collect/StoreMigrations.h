// The collector database's schema, as the steps that made it what it is: a
// database of any older version is brought up to date step by step.
#pragma once

#include <span>

namespace q31::tool::collect {

// Entry i takes the schema from version i to i + 1. Only ever append (and
// raise CollectStore::kSchemaVersion).
std::span<const char* const> StoreMigrations();

}  // namespace q31::tool::collect
