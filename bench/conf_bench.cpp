// Image check benchmark: conf::CheckImage on images of growing size, next to two baselines over
// the same image in the same run: an unchecked walk through the handles over the same records
// (what a reader does anyway), and a plain sum of every word of the image (memory bandwidth).
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageCheck.h"

namespace {

/// An image with `strings` strings in 10 cultures, strings / 4 variables with two values each,
/// and 100 applications of 20 actions and 20 events.
const std::vector<std::uint8_t>& Image(std::int64_t strings) {
    static std::vector<std::uint8_t> image;
    static std::int64_t built = -1;
    if (built == strings) return image;
    conf::ImageDescription d;
    d.cultures = {"en", "de", "fr", "it", "es", "nl", "pt", "sv", "pl", "cs"};
    for (std::int64_t s = 0; s < strings; ++s) d.strings.push_back({32, {"text", "Text"}});
    for (std::int64_t v = 0; v < strings / 4; ++v) {
        d.variables.push_back({"variable" + std::to_string(v), "i32", 1, std::nullopt, {{0, 0}, {1, 1}}});
    }
    for (unsigned a = 0; a < 100; ++a) {
        conf::ImageDescription::Application app{"application" + std::to_string(a), {}, {}, {}, {}, false};
        for (unsigned k = 0; k < 20; ++k) {
            app.actions.push_back({k, 1000 * a + k});
            app.events.push_back({k, 1000 * a + k});
        }
        d.applications.push_back(app);
    }
    std::string error;
    if (!conf::BuildImage(d, image, error)) throw std::runtime_error(error);
    built = strings;
    return image;
}

void Records(benchmark::State& state, std::size_t records) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Image(state.range(0)).size()));
}

/// Text slots, variables, actions and events: the records both the check and the walk visit.
std::size_t RecordCount(std::int64_t strings) {
    return static_cast<std::size_t>(strings * 10 + strings / 4 + 4000);
}

void BM_CheckImage(benchmark::State& state) {
    const auto& image = Image(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(conf::CheckImage(image.data(), image.size()));
    Records(state, RecordCount(state.range(0)));
}

void BM_UncheckedWalk(benchmark::State& state) {
    auto image = Image(state.range(0));  // a copy: handles take mutable addresses
    for (auto _ : state) {
        std::uint64_t sum = 0;
        conf::ConfigurationRoot root;
        root.attachImage(image.data());
        conf::ConfCultureRootClass cr(image.data(),
                                      root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
        const conf::Offset slots = cr.word(conf::ConfCultureRootClass::kStringList);
        for (std::uint32_t i = 0; i < cr.listCount(slots); ++i)
            sum += conf::ReadWord(cr.listElementAt(slots, i) + 4);
        conf::ProgrammingConfiguration p(
            image.data(), root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
        const conf::Offset variables = p.word(conf::ProgrammingConfiguration::kVariables);
        for (std::uint32_t v = 0; v < p.listCount(variables); ++v) {
            sum += conf::ReadWord(p.listElementAt(variables, v) + 4 * conf::Variable::kValueTable);
        }
        conf::ApplicationInformation app;
        app.setBase(image.data());
        const conf::Offset apps = p.word(conf::ProgrammingConfiguration::kApplications);
        for (std::uint32_t a = 0; a < p.listCount(apps); ++a) {
            app.setRecord(p.listElementAt(apps, a));
            for (unsigned list :
                 {conf::ApplicationInformation::kActions, conf::ApplicationInformation::kEvents}) {
                for (std::uint32_t k = 0; k < app.listCount(app.word(list)); ++k) {
                    sum += conf::ReadWord(app.listElementAt(app.word(list), k) + 16);
                }
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    Records(state, RecordCount(state.range(0)));
}

void BM_WordSum(benchmark::State& state) {
    const auto& image = Image(state.range(0));
    for (auto _ : state) {
        std::uint64_t sum = 0;
        for (std::size_t at = 0; at + 4 <= image.size(); at += 4) sum += conf::ReadWord(&image[at]);
        benchmark::DoNotOptimize(sum);
    }
    Records(state, RecordCount(state.range(0)));
}

}  // namespace

BENCHMARK(BM_CheckImage)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UncheckedWalk)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WordSum)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
