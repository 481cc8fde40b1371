// Current values and accumulated totals against the virtual meter.
#include "bench/BenchLine.h"

namespace q31::bench {
namespace {

std::uint8_t StartCurrentData() { return ::GetCurrentData(&g_dev); }
std::uint8_t StartAccumulatedData() { return ::GetAccumulatedData(&g_dev); }

// Identification, pointer record, last measurement.
void BM_GetCurrentData(benchmark::State& state) { Measure(state, &StartCurrentData, 3); }
// Identification, pointer record, the module totals in three reads.
void BM_GetAccumulatedData(benchmark::State& state) { Measure(state, &StartAccumulatedData, 5); }

}  // namespace

BENCHMARK(BM_GetCurrentData)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAccumulatedData)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
