// Throughput of each line kernel, formatting random 16-byte blocks into a
// buffer that stays in cache: input bytes per second and lines per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lines.h"

using namespace hexcat;

namespace {

constexpr std::size_t LINES = 2048; // 32 KiB of input, as the tool reads it

const std::vector<unsigned char> &input()
{
    static std::vector<unsigned char> data = [] {
        std::vector<unsigned char> d(16 * LINES);
        std::mt19937 gen(1);
        for (auto &b : d)
            b = static_cast<unsigned char>(gen());
        return d;
    }();
    return data;
}

void runlines(benchmark::State &state, linesfn fn)
{
    const auto &in = input();
    std::vector<char> out(LINES * LINE + SLACK);
    std::uint32_t offset = 0;
    for (auto _ : state) {
        char *end = fn(out.data(), in.data(), offset, LINES);
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
        offset += 16 * LINES;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LINES));
}

// The general formatter, one line at a time, as used for short lines.
char *plainlines(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++)
        d = plainline(d, p + 16 * i, offset + 16 * i, 16);
    return d;
}

void BM_plain(benchmark::State &state) { runlines(state, plainlines); }
void BM_portable(benchmark::State &state) { runlines(state, linesportable); }
BENCHMARK(BM_plain);
BENCHMARK(BM_portable);

#ifdef HEXCAT_X86
void BM_ssse3(benchmark::State &state)
{
    if (!havessse3()) {
        state.SkipWithError("no SSSE3 on this processor");
        return;
    }
    runlines(state, linesssse3);
}
void BM_avx2(benchmark::State &state)
{
    if (!haveavx2()) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    runlines(state, linesavx2);
}
BENCHMARK(BM_ssse3);
BENCHMARK(BM_avx2);
#endif

} // namespace

int main(int argc, char **argv)
{
    benchmark::AddCustomContext("hexcat kernel", activekernelname());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
