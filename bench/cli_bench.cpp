// A short command of the clsg program, from start to exit, as a script that
// runs it once per file sees it: `--version` (parsed, no command runs), `info`
// of a missing file (the command starts, watches for Ctrl-C, and fails at
// once) and `info` of the demo's tool file (the demo is run once first).
//   cli_bench --benchmark_repetitions=7   (reports mean, median and min)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs the program with args once per iteration, its output thrown away.
void BM_Command(benchmark::State& state, std::vector<const char*> args) {
    args.insert(args.begin(), CLSG_CLI_PATH);
    args.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, CLSG_CLI_PATH, &quiet, nullptr, const_cast<char**>(args.data()),
                        environ) != 0 ||
            waitpid(pid, &status, 0) != pid) {
            state.SkipWithError("the program did not run");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&quiet);
}

// The demo's files in a directory of their own, made on first use and removed
// at exit.
struct DemoDir {
    std::string path;
    DemoDir() {
        char name[] = "/tmp/clsg-cli-bench-XXXXXX";
        if (!mkdtemp(name)) return;
        path = name;
        const std::string command =
            std::string("'") + CLSG_CLI_PATH + "' demo --out '" + path + "' >/dev/null 2>&1";
        ran = std::system(command.c_str()) == 0;
    }
    ~DemoDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    bool ran = false;
};

const DemoDir& demoDir() {
    static const DemoDir dir;
    return dir;
}

void BM_InfoOfTool(benchmark::State& state) {
    if (!demoDir().ran) {
        state.SkipWithError("the demo did not run");
        return;
    }
    const std::string tool = demoDir().path + "/demo.clsg";
    BM_Command(state, {"info", tool.c_str()});
}

}  // namespace

BENCHMARK_CAPTURE(BM_Command, version, std::vector<const char*>{"--version"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InfoOfTool)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Command, info_of_missing_file,
                  std::vector<const char*>{"info", "/nonexistent/tool.clsg"})
    ->Unit(benchmark::kMillisecond);
