// How the collector scales with the fleet: the wall time of a first full
// collection (q31 collect --once into an empty database) of 16 virtual
// meters, each on its own line, against that of one. The meters are read
// side by side on one thread, so the ratio stays near 1 while the line
// waits dominate; it grows once the loop itself (or the database) is busy.
//
//   q31_collect_timing [--meters N] [--hours H] [--days D] [--modules M] [--repeat R]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/CollectChild.h"

namespace {

struct Shape {
    int meters = 16;
    int hours = 300;
    int days = 120;
    int modules = 2;
    int repeat = 1;
};

std::string Config(const std::string& dir, int meters, const Shape& shape) {
    const std::string path = dir + "/fleet" + std::to_string(meters) + ".toml";
    std::ofstream out(path);
    out << "[defaults]\ntimeout_ms = 500\ncurrent_every_min = 15\n";
    for (int i = 0; i < meters; ++i)
        out << "\n[[meter]]\nname = \"m" << i << "\"\nport = \"sim:" << 100 + i << "\"\nserial = " << 5000 + i
            << "\n[meter.sim]\nmodules = " << shape.modules << "\nhour_count = " << shape.hours
            << "\nday_count = " << shape.days << "\n";
    return path;
}

// Seconds of one run of q31 collect --once into a fresh database; < 0 on failure.
double Collect(const std::string& dir, const std::string& config, int n) {
    const std::string db = dir + "/bench" + std::to_string(n) + ".sqlite";
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = q31::bench::StartCollectOnce(config, db);
    if (pid < 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Shape shape;
    for (int i = 1; i + 1 < argc; i += 2) {
        const int v = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--meters")) shape.meters = v;
        else if (!std::strcmp(argv[i], "--hours")) shape.hours = v;
        else if (!std::strcmp(argv[i], "--days")) shape.days = v;
        else if (!std::strcmp(argv[i], "--modules")) shape.modules = v;
        else if (!std::strcmp(argv[i], "--repeat")) shape.repeat = v;
    }
    char pattern[] = "/tmp/q31-collect-bench.XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string one = Config(dir, 1, shape);
    const std::string many = Config(dir, shape.meters, shape);
    double best1 = 1e9, bestN = 1e9;
    for (int r = 0; r < shape.repeat; ++r) {
        const double t1 = Collect(dir, one, 1);
        const double tN = Collect(dir, many, shape.meters);
        if (t1 < 0 || tN < 0) {
            std::fprintf(stderr, "q31 collect failed\n");
            return 1;
        }
        best1 = std::min(best1, t1);
        bestN = std::min(bestN, tN);
    }
    const long long records =
        (static_cast<long long>(std::min(shape.hours, 1080)) + std::min(shape.days, 550)) * (1 + 5LL * shape.modules);
    std::printf("first full collection, %d modules, %d hourly and %d daily records per meter (%lld archive values)\n",
                shape.modules, shape.hours, shape.days, records);
    std::printf("  1 meter:   %.2f s\n", best1);
    std::printf("  %d meters: %.2f s (%lld archive values)\n", shape.meters, bestN, records * shape.meters);
    std::printf("  ratio %d:1 = %.2f\n", shape.meters, bestN / best1);
    return 0;
}
