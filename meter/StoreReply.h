// Copying a reply into a fixed record.
#pragma once

namespace q31 {

// Copies a reply into a record of `size` bytes. The reply counts as `length`
// bytes, never more than the record holds; what it lacks is zeroed, so no
// byte of an earlier reply passes for new data.
void StoreReply(void* record, int size, short length, const char* buffer);

}  // namespace q31
