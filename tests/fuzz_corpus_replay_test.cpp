// Replays the fuzzers' committed corpora (fuzz/corpus/<target>) through the
// fuzz entry points, so builds without libFuzzer still run them; every
// truncation of every seed goes through as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

std::vector<std::string> corpus(const std::string& target) {
    const std::filesystem::path dir =
        std::filesystem::path(CLSG_TEST_DATA_DIR) / ".." / ".." / "fuzz" / "corpus" / target;
    std::vector<std::string> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return inputs;
}

template <class Entry>
void replay(const std::string& target, Entry entry) {
    const auto inputs = corpus(target);
    ASSERT_FALSE(inputs.empty()) << target;
    for (const std::string& input : inputs)
        for (std::size_t n = 0; n <= input.size(); ++n)
            EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(input.data()), n), 0);
}

}  // namespace

TEST(FuzzCorpusReplay, Tool) { replay("load_tool_fuzz", loadToolOneInput); }
TEST(FuzzCorpusReplay, Result) { replay("load_result_fuzz", loadResultOneInput); }
TEST(FuzzCorpusReplay, Error) { replay("load_error_fuzz", loadErrorOneInput); }
