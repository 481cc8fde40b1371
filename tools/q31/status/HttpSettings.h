// [http]: /metrics for Prometheus and a status page.
#pragma once

#include <string>

namespace q31::tool::forward {

struct HttpSettings {
    bool enabled = false;
    std::string listen = "127.0.0.1:9731";
};

}  // namespace q31::tool::forward
