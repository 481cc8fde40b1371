#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "support/JournalStream.h"

namespace q31 {

bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st {};
    if (fstat(2, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

}  // namespace q31
