// Throughput of each line kernel, formatting random 16-byte blocks into a
// buffer that stays in cache: input bytes per second and lines per second,
// for offsets below 4 GiB (eight-digit field) and past it (nine digits).
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "layout.h"

using namespace hexcat;

namespace {

constexpr std::size_t LINES = 2048; // 32 KiB of input: input and output stay in cache

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

// Formats the input over and over at offsets from start on, each run kept
// below the next multiple of 2^32 as the tool keeps it.
void runlines(benchmark::State &state, linesfn fn, std::uint64_t start)
{
    const auto &in = input();
    std::vector<char> out(LINES * MAXLINE + SLACK);
    std::uint64_t offset = start;
    for (auto _ : state) {
        char *end = fn(out.data(), in.data(), static_cast<std::uint32_t>(offset), highdigits(offset), LINES);
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
        offset += 16 * LINES;
        if ((offset & 0xFFFFFFFFu) > 0xFFFFFFFFu - 16 * LINES)
            offset = start;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LINES));
}

// The general formatter, one line at a time, as used for short lines.
char *plainlines(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    const std::uint64_t offset = std::uint64_t{high.value} << 32 | low;
    for (std::size_t i = 0; i < n; i++)
        d = plainline(d, p + 16 * i, offset + 16 * i, 16);
    return d;
}

void add(const std::string &name, linesfn fn, bool runs)
{
    struct {
        const char *suffix;
        std::uint64_t start;
    } ranges[] = {{"", 0}, {"/past4GiB", std::uint64_t{0x500000000}}};
    for (const auto &r : ranges) {
        benchmark::RegisterBenchmark((name + r.suffix).c_str(),
                                     [fn, runs, start = r.start](benchmark::State &s) {
                                         if (!runs)
                                             s.SkipWithError("this processor does not run it");
                                         else
                                             runlines(s, fn, start);
                                     });
    }
}

} // namespace

int main(int argc, char **argv)
{
    add("plain", plainlines, true);
    for (const kernel &k : kernels())
        add(k.name, k.fn, k.supported());
    benchmark::AddCustomContext("hexcat kernel", findkernel(nullptr)->name);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
