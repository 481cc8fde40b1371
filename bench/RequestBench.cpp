// Identification and module requests against the virtual meter.
#include "bench/BenchLine.h"

namespace q31::bench {
namespace {

std::uint8_t StartGetID() { return ::GetID(); }
std::uint8_t StartModuleCount() { return ::GetModuleCount(&g_dev); }

void BM_GetID(benchmark::State& state) { Measure(state, &StartGetID, 1); }
void BM_GetModuleCount(benchmark::State& state) { Measure(state, &StartModuleCount, 4); }

}  // namespace

BENCHMARK(BM_GetID)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetModuleCount)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
