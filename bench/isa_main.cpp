// The main of the benchmarks: Google Benchmark's, with the --isa option
// (isa_option.h).
#include "isa_option.h"

int main(int argc, char** argv) {
    std::vector<char*> args = takeIsaOption(argc, argv);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
