#include "platform/PortTable.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace q31 {

namespace {

struct Table {
    std::mutex mutex;
    std::vector<std::unique_ptr<OpenedPort>> ports;
    std::atomic<int> count{0};
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

OpenedPort* FindOpenedPort(PortHandle handle) {
    Table& t = TheTable();
    if (t.count.load(std::memory_order_acquire) == 0) return nullptr;
    const std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& p : t.ports)
        if (p->handle == handle) return p.get();
    return nullptr;
}

OpenedPort* AddOpenedPort(std::unique_ptr<OpenedPort> port) {
    Table& t = TheTable();
    const std::lock_guard<std::mutex> lock(t.mutex);
    t.ports.push_back(std::move(port));
    t.count.store(static_cast<int>(t.ports.size()), std::memory_order_release);
    return t.ports.back().get();
}

std::unique_ptr<OpenedPort> RemoveOpenedPort(PortHandle handle) {
    Table& t = TheTable();
    const std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = std::find_if(t.ports.begin(), t.ports.end(), [&](const auto& p) { return p->handle == handle; });
    if (it == t.ports.end()) return nullptr;
    std::unique_ptr<OpenedPort> port = std::move(*it);
    t.ports.erase(it);
    t.count.store(static_cast<int>(t.ports.size()), std::memory_order_release);
    return port;
}

}  // namespace q31
