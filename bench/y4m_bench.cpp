// kestrin-run's work around the plug-in on a YUV4MPEG2 stream, per 8-bit 4:2:0 frame: reading,
// the conversion to the editor's scale, the conversion back, writing. Compare with a frame's time
// in the plug-in (frame_bench): these should be a small share of it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "hostsim/thread_pool.h"
#include "hostsim/y4m.h"
#include "hostsim/y4m_convert.h"

namespace {

namespace y4m = kestrin::hostsim::y4m;

y4m::Header header(int width, int height) {
    y4m::Header h;
    y4m::parseHeader("YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) +
                         " F25:1 Ip A1:1 C420jpeg",
                     h);
    return h;
}

y4m::Planes planes(const y4m::Header& h) {
    std::mt19937 rng(1);
    y4m::Planes p;
    const size_t luma = size_t(h.width) * h.height, chroma = luma / 4;
    for (size_t i = 0; i < luma; ++i) p.y.push_back(uint16_t(16 + rng() % 220));
    for (size_t i = 0; i < chroma; ++i) p.cb.push_back(uint16_t(16 + rng() % 225));
    for (size_t i = 0; i < chroma; ++i) p.cr.push_back(uint16_t(16 + rng() % 225));
    return p;
}

// Argument 2: threads (1: the calling thread alone).
void ToHost(benchmark::State& state) {
    const y4m::Header h = header(int(state.range(0)), int(state.range(1)));
    kestrin::hostsim::ThreadPool pool(int(state.range(2)));
    const y4m::SampleMaps maps(8, false);
    const y4m::Planes in = planes(h);
    std::vector<YcPixel> frame;
    y4m::SourceChroma source;
    for (auto _ : state) {
        y4m::toHost(in, h, maps, frame, &source, &pool);
        benchmark::DoNotOptimize(frame.data());
    }
}

void FromHost(benchmark::State& state) {
    const y4m::Header h = header(int(state.range(0)), int(state.range(1)));
    kestrin::hostsim::ThreadPool pool(int(state.range(2)));
    const y4m::SampleMaps maps(8, false);
    const y4m::Planes in = planes(h);
    std::vector<YcPixel> frame;
    y4m::SourceChroma source;
    y4m::toHost(in, h, maps, frame, &source);
    y4m::Planes out;
    for (auto _ : state) {
        y4m::fromHost(frame.data(), h.width, h, &source, h, maps, out, &pool);
        benchmark::DoNotOptimize(out.y.data());
    }
}

void ReadWrite(benchmark::State& state) {
    const y4m::Header h = header(int(state.range(0)), int(state.range(1)));
    const y4m::Planes in = planes(h);
    std::FILE* file = std::tmpfile();
    y4m::Writer writer(file);
    writer.writeHeader(h);
    writer.writeFrame(in);
    std::fflush(file);
    y4m::Planes p;
    std::string error;
    for (auto _ : state) {
        std::rewind(file);
        y4m::Reader reader(file);
        y4m::Header got;
        reader.readHeader(got);
        reader.readFrame(p, error);
        std::FILE* sink = std::fopen("/dev/null", "wb");
        y4m::Writer out(sink);
        out.writeHeader(got);
        out.writeFrame(p);
        std::fclose(sink);
    }
    std::fclose(file);
}

BENCHMARK(ToHost)
    ->ArgsProduct({{1920}, {1080}, {1, 2}})
    ->Args({1280, 720, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FromHost)
    ->ArgsProduct({{1920}, {1080}, {1, 2}})
    ->Args({1280, 720, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadWrite)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
