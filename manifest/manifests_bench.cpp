// Reading the largest lists a server is likely to publish: a file list of 100,000 entries and a
// modpak manifest of 10,000. Run with `make bench-json`.
#include <benchmark/benchmark.h>

#include <string>

#include "manifest/json_reader.h"
#include "manifest/manifests.h"
#include "testing/temp_dir.h"

namespace {

// Pretty-printed like a server's JSON encoder would write it, escapes included.
std::string fileListText(int entries) {
    std::string text = "[\n";
    for (int i = 0; i < entries; ++i) {
        text += i > 0 ? ",\n" : "";
        text += "  {\n    \"modPakNum\": " + std::to_string(i / 100) +
                ",\n    \"name\": \"data\\/maps\\/region_" + std::to_string(i) + "\\/tile \\\"" +
                std::to_string(i % 7) +
                "\\\".bin\",\n    \"isDirectory\": " + (i % 10 == 0 ? "true" : "false") + "\n  }";
    }
    return text + "\n]\n";
}

std::string modpakListText(int entries) {
    std::string text = "[";
    for (int i = 0; i < entries; ++i) {
        text += i > 0 ? "," : "";
        text += "{\"modPakNum\":" + std::to_string(i) + ",\"name\":\"modpaks\\/pack_" +
                std::to_string(i) + "_caf\\u00e9.7z\",\"size\":123456789}";
    }
    return text + "]";
}

void parseFileList100k(benchmark::State& state) {
    TempDir temp;
    const auto path = temp.path() / "nuvrafile.json";
    writeFileBytes(path, fileListText(100000));
    for (auto _ : state) {
        std::vector<FileEntry> list = parseFileList(path);
        if (list.size() != 100000) state.SkipWithError("wrong entry count");
        benchmark::DoNotOptimize(list.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(parseFileList100k)->Unit(benchmark::kMillisecond);

void parseModpakList10k(benchmark::State& state) {
    TempDir temp;
    const auto path = temp.path() / "nuvramodremote1.json";
    writeFileBytes(path, modpakListText(10000));
    for (auto _ : state) {
        std::vector<ModpakEntry> list = parseModpakList(path);
        if (list.size() != 10000) state.SkipWithError("wrong entry count");
        benchmark::DoNotOptimize(list.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(parseModpakList10k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
