// Replays every truncation of each committed fuzz seed (fuzz/corpus/<target>), even without
// libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#define LLVMFuzzerTestOneInput loadToolOneInput
#include "../fuzz/load_tool_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput loadResultOneInput
#include "../fuzz/load_result_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput loadErrorOneInput
#include "../fuzz/load_error_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

template <class Entry>
void replay(const std::string& target, Entry entry) {
    int seeds = 0;
    const std::string dir = CLSG_TEST_DATA_DIR "/../../fuzz/corpus/" + target;
    for (const auto& seed : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(seed.path(), std::ios::binary);
        const std::string input{std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>()};
        ++seeds;
        for (std::size_t n = 0; n <= input.size(); ++n)
            EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(input.data()), n), 0);
    }
    EXPECT_GT(seeds, 0) << target;
}

}  // namespace

TEST(FuzzCorpusReplay, Tool) { replay("load_tool_fuzz", loadToolOneInput); }
TEST(FuzzCorpusReplay, Result) { replay("load_result_fuzz", loadResultOneInput); }
TEST(FuzzCorpusReplay, Error) { replay("load_error_fuzz", loadErrorOneInput); }
