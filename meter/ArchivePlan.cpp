#include "meter/ArchivePlan.h"

#include <algorithm>

namespace q31 {

namespace {

// Bytes from one slot to the next.
std::uint64_t Stride(const ArchiveGeometry& g) {
    if (g.addressing == ArchiveAddressing::Consecutive) return g.elementBytes;
    return g.recordSize > 0 ? static_cast<std::uint64_t>(g.recordSize) : 0;
}

// A ring without slots, a value without bytes, a packet that cannot hold one
// value or a record size of zero or less describes nothing that can be read:
// such a read ends at once with no values rather than asking the meter for
// the same bytes without end.
bool Readable(const ArchiveGeometry& g) {
    return g.slots != 0 && g.elementBytes != 0 && g.packetLimit >= g.elementBytes && Stride(g) != 0;
}

std::uint32_t ChunkFor(const ArchiveGeometry& g, std::uint32_t values) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(values) * g.elementBytes;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(g.packetLimit, bytes));
}

ArchiveStep Done() {
    ArchiveStep step;
    step.done = true;
    return step;
}

ArchiveStep Ask(std::uint32_t offset, std::uint32_t bytes) {
    ArchiveStep step;
    step.packetOffset = offset;
    step.packetBytes = bytes;
    return step;
}

}  // namespace

ArchiveStep PlanArchiveRead(const ArchiveGeometry& g, std::uint32_t counter, std::uint32_t start, std::int32_t count,
                            ArchiveCursor& cursor) {
    cursor = ArchiveCursor{};
    if (!Readable(g)) return Done();

    const std::uint32_t slots = g.slots;
    const std::uint64_t stride = Stride(g);
    if (start > counter) start = counter;
    // A record that has been overwritten is not there to be read: the run
    // then starts at the oldest record the ring still holds.
    const std::uint32_t slot = counter - start >= slots ? counter % slots : start % slots;
    const std::uint64_t offset = slot * stride;
    std::uint32_t first = count != 0 ? static_cast<std::uint32_t>(count) : counter - start;
    std::uint32_t second = 0;
    // Every product stays below 2^63: values < 2^32, stride < 2^31.
    const std::uint64_t ringBytes = slots * stride;
    if (first * stride + offset > ringBytes) {
        // The run crosses the end of the ring: up to the end, then from slot
        // 0 up to the newest record, never more than one whole ring.
        first = static_cast<std::uint32_t>((ringBytes - offset) / stride);
        second = slots - first;
        second = std::min(second, counter % slots);
    }
    cursor.readOffset = static_cast<std::uint32_t>(offset);
    cursor.firstRemaining = first;
    cursor.secondRemaining = second;
    cursor.chunkBytes = ChunkFor(g, first);
    if (cursor.chunkBytes == 0) return Done();
    return Ask(cursor.readOffset, cursor.chunkBytes);
}

ArchiveStep AdvanceArchiveRead(const ArchiveGeometry& g, ArchiveCursor& cursor, long replyLength) {
    if (!Readable(g)) return Done();
    const std::uint32_t e = g.elementBytes;

    // Whole values only, and never more than the packet asked for: a longer
    // reply must not run the count past the run or the buffer.
    const std::uint32_t arrived = replyLength > 0 ? static_cast<std::uint32_t>(replyLength) / e : 0;
    const std::uint32_t n = std::min(arrived, cursor.chunkBytes / e);

    ArchiveStep stored;
    stored.storeAt = cursor.receivedCount;
    stored.storeCount = std::min(n, g.capacity > cursor.receivedCount ? g.capacity - cursor.receivedCount : 0);
    cursor.receivedCount += stored.storeCount;

    auto finish = [&](ArchiveStep step) {
        step.storeAt = stored.storeAt;
        step.storeCount = stored.storeCount;
        return step;
    };

    if (n == 0) {
        // Nothing to keep: delivering the read now would pass a failure off
        // as "no more records", so the packet has failed instead.
        ArchiveStep step;
        step.failed = true;
        return step;
    }

    if (cursor.firstRemaining != 0) {
        cursor.firstRemaining -= n;  // n <= chunkBytes / e <= firstRemaining
    } else {
        cursor.secondRemaining -= std::min(n, cursor.secondRemaining);
    }

    cursor.chunkBytes = g.packetLimit;
    ArchiveStep next;
    if (cursor.firstRemaining != 0) {
        next.showProgress = true;
        next.progressValue = cursor.firstRemaining;
        cursor.chunkBytes = ChunkFor(g, cursor.firstRemaining);
        // The next packet starts right behind the last whole value kept, so
        // a reply with a partial value does not shift the ring's alignment.
        const std::uint32_t step =
            g.addressing == ArchiveAddressing::Records ? static_cast<std::uint32_t>(g.recordSize) : e;
        cursor.readOffset += n * step;
    } else if (cursor.secondRemaining != 0) {
        next.showProgress = true;
        next.progressValue = cursor.secondRemaining;
        cursor.chunkBytes = ChunkFor(g, cursor.secondRemaining);
        cursor.readOffset = 0;
        cursor.firstRemaining = cursor.secondRemaining;
        cursor.secondRemaining = 0;
    } else {
        return finish(Done());
    }
    next.packetOffset = cursor.readOffset;
    next.packetBytes = cursor.chunkBytes;
    return finish(next);
}

}  // namespace q31
