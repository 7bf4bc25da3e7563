// Time of one layout computation for a small FAT12, a FAT32 and an exFAT card.
#include <benchmark/benchmark.h>

#include "engine/layout.h"

namespace {

void layout(benchmark::State& state) {
    const auto user = static_cast<uint32_t>(state.range(0));
    brc::FormatParameters base{};
    brc::chooseClusterAndBoundary(user, base);
    for (auto _ : state) {
        brc::FormatParameters params = base;
        uint32_t ts = user;
        benchmark::DoNotOptimize(brc::computeLayout(ts, params));
        benchmark::DoNotOptimize(params);
    }
}

} // namespace

BENCHMARK(layout)->Name("computeLayout/fat12")->Arg(15360);
BENCHMARK(layout)->Name("computeLayout/fat32")->Arg(62333952);
BENCHMARK(layout)->Name("computeLayout/exfat")->Arg(1000000000);

BENCHMARK_MAIN();
