// The names a journal entry's kind goes by in topics, rows and metrics.
#include "tools/q31/forward/JournalBatch.h"

#include <gtest/gtest.h>

namespace q31::tool::forward {
namespace {

TEST(JournalBatch, KindsHaveTheirNames) {
    EXPECT_STREQ(KindName(JournalBatch::Kind::Archive), "archive");
    EXPECT_STREQ(KindName(JournalBatch::Kind::Snapshot), "snapshot");
    EXPECT_STREQ(KindName(JournalBatch::Kind::Log), "log");
    EXPECT_STREQ(KindName(JournalBatch::Kind::Attempt), "attempt");
    EXPECT_STREQ(KindName(JournalBatch::Kind::Event), "event");
}

}  // namespace
}  // namespace q31::tool::forward
