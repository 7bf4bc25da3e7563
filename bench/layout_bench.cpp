// Time of one whole layout plan (geometry, tables, layout, label check) from a capacity, for a
// small FAT12, a FAT32 and an exFAT card.
#include <benchmark/benchmark.h>

#include "engine/layout.h"

namespace {

void plan(benchmark::State& state) {
    const brc::CardCapacity capacity{static_cast<uint32_t>(state.range(0)), 0};
    brc::FormatPlan result;
    for (auto _ : state) {
        benchmark::DoNotOptimize(brc::planFormat(capacity, u"CARD", false, &result));
        benchmark::DoNotOptimize(result);
    }
}

} // namespace

BENCHMARK(plan)->Name("planFormat/fat12")->Arg(15360);
BENCHMARK(plan)->Name("planFormat/fat32")->Arg(62333952);
BENCHMARK(plan)->Name("planFormat/exfat")->Arg(1000000000);

BENCHMARK_MAIN();
