// The signals the loop heeds, set by their handlers.
#pragma once

#include <csignal>

namespace q31::tool::collect {

struct CollectSignals {
    const volatile std::sig_atomic_t* stop = nullptr;
    volatile std::sig_atomic_t* reload = nullptr;
};

}  // namespace q31::tool::collect
