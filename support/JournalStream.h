// Whether this process's stderr is the systemd journal: then log lines need
// no time stamp of their own (the journal keeps one) and carry their
// priority as a "<N>" prefix instead.
#pragma once

namespace q31 {

// True when JOURNAL_STREAM names the device and inode that stderr is
// connected to (a child that inherited the variable but not the stream is
// not writing to the journal).
bool StderrIsJournal();

}  // namespace q31
