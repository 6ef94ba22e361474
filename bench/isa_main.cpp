// The main of the benchmarks: Google Benchmark's, with the --isa option
// (isa_option.h).
#include "isa_option.h"

int main(int argc, char** argv) { return runBenchmarks(takeIsaOption(argc, argv)); }
