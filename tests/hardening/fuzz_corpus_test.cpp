// The fuzz targets over their seed corpus (fuzz/corpus/<target>/), in every
// build: each input that once crashed a target stays here as a regression test.
// Built twice: with the targets that use the libraries, and (with
// DADOVU_FUZZ_WHITE_BOX) with the one built from the parser's sources.

#include <gtest/gtest.h>

#include <qxpal/config.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include "FuzzTargets.h"

namespace {

struct Target {
    const char* name;
    int (*run)(const std::uint8_t*, std::size_t);
};

void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EveryInputRunsThroughItsTarget) {
    const std::string previous = QxPalConfig::GetConfigPath();
    std::size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(DADOVU_FUZZ_CORPUS) + "/" + GetParam().name)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(GetParam().run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
        ++inputs;
    }
    QxPalConfig::SetConfigPath(previous);
    EXPECT_GT(inputs, 0u);
}

#ifdef DADOVU_FUZZ_WHITE_BOX
const Target kTargets[] = {{"envelope_stream", &DadovuFuzz::EnvelopeStream}};
#else
const Target kTargets[] = {{"response_envelope", &DadovuFuzz::ResponseEnvelope},
                           {"settings", &DadovuFuzz::Settings},
                           {"uri", &DadovuFuzz::Uri}};
#endif

INSTANTIATE_TEST_SUITE_P(Hardening, FuzzCorpus, ::testing::ValuesIn(kTargets),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
