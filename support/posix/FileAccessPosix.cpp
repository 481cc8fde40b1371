#include <sys/stat.h>

#include "support/FileAccess.h"

namespace q31 {

bool ReadableByOthers(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

}  // namespace q31
