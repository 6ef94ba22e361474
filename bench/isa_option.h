// The benchmarks' --isa=avx2 and --isa=portable: cap the instruction set (so
// that an AVX-512 machine also measures the AVX2 path) and name the one in
// force in the table's heading ("isa: AVX-512").
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"

// The arguments without the --isa option, which it applies.
inline std::vector<char*> takeIsaOption(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--isa=avx2") == 0)
            kvSetSimdLimit(kvSimdLevel::Avx2);
        else if (std::strcmp(argv[i], "--isa=portable") == 0)
            kvSetSimdLimit(kvSimdLevel::Portable);
        else
            args.push_back(argv[i]);
    }
    const char* const names[] = {"plain", "AVX2", "AVX-512"};
    benchmark::AddCustomContext("isa", names[static_cast<int>(kvActiveSimd())]);
    return args;
}

// Google Benchmark's main with those arguments.
inline int runBenchmarks(std::vector<char*> args) {
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
