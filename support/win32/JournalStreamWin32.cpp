#include "support/JournalStream.h"

namespace q31 {

// Windows has no journal: its services log through the event log.
bool StderrIsJournal() { return false; }

}  // namespace q31
