#include "tests/soak/ProcessUsage.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace q31::soak {

ProcessUsage ProcessUsage::Now() {
    ProcessUsage u;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
            break;
        }
    }
    status.close();
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        int entries = 0;
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.') ++entries;
        }
        ::closedir(dir);
        u.descriptors = entries - 1;  // the directory's own descriptor
    }
    return u;
}

}  // namespace q31::soak
