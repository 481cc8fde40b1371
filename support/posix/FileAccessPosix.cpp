#include <sys/resource.h>
#include <sys/stat.h>

#include "support/FileAccess.h"

namespace q31 {

bool ReadableByOthers(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

long long RaiseOpenFileLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    // Asked only when there is something to gain: a service's system-call
    // filter may refuse setrlimit.
    if (limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(limit.rlim_cur);
}

}  // namespace q31
