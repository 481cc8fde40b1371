// What a pass has learnt of the meter that answers: its identity, its
// modules, its archive counters and the key its records are stored under.
#pragma once

#include <cstdint>

#include "publicQ31.h"
#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

struct MeterFacts {
    SDevIdent ident{};
    std::uint32_t modules = 0;
    SArhiveCount counters{};
    SArhiveCount passCounters{};  // as read at the start of the pass's archive reads
    MeterKey key;
};

}  // namespace q31::tool::collect
