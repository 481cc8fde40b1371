#include "tools/q31/forward/JournalBatch.h"

namespace q31::tool::forward {

const char* KindName(JournalBatch::Kind kind) {
    switch (kind) {
        case JournalBatch::Kind::Archive: return "archive";
        case JournalBatch::Kind::Snapshot: return "snapshot";
        case JournalBatch::Kind::Log: return "log";
        case JournalBatch::Kind::Attempt: return "attempt";
        case JournalBatch::Kind::Event: return "event";
    }
    return "";
}

}  // namespace q31::tool::forward
