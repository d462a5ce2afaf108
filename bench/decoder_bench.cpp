// Decoder and encoder throughput on memory buffers, without files.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "decoder/payload_decoder.h"
#include "encoder/payload_encoder.h"
#include "portable/portable_io.h"

namespace {

// A few MB of real executables when the machine has them, else synthetic code-like bytes.
const std::vector<uint8_t> &sample() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes;
        for (const char *name : {"notepad.exe", "cmd.exe", "regedit.exe", "wordpad.exe", "explorer.exe"}) {
            std::ifstream in(std::string("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/") + name, std::ios::binary);
            bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), {});
        }
        for (uint32_t i = 0; bytes.size() < (2u << 20); i++)
            bytes.push_back((uint8_t)((i * 2654435761u) >> (i % 7 == 0 ? 24 : 29)));
        return bytes;
    }();
    return data;
}

void decode_once(const std::vector<uint8_t> &payload) {
    decoder_create();
    payload_in = memory_reader_open(payload.data(), payload.size());
    payload_out = counting_writer_open(SIZE_MAX);
    benchmark::DoNotOptimize(decode_payload());
    file_close(payload_in);
    file_close(payload_out);
    decoder_destroy();
}

void BM_Decode(benchmark::State &state) {
    std::vector<uint8_t> payload = encode_payload(sample(), (int)state.range(0));
    for (auto _ : state)
        decode_once(payload);
    state.SetBytesProcessed((int64_t)(state.iterations() * sample().size()));
    state.counters["input_MB"] = (double)sample().size() / 1e6;
    state.counters["ratio"] = (double)payload.size() / (double)sample().size();
}
BENCHMARK(BM_Decode)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);

void BM_Encode(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(encode_payload(sample(), (int)state.range(0)));
    state.SetBytesProcessed((int64_t)(state.iterations() * sample().size()));
}
BENCHMARK(BM_Encode)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);

} // namespace
