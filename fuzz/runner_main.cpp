// The plain regression runner: feeds every file of the folders (or files) named on the
// command line to the fuzz target once, in name order, as libFuzzer would replay them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Present in sanitizer builds: where sanitizer reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> inputsOf(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

// The backend's log lines and progress lines would flood the test output: standard output
// and standard error go to /dev/null, the runner's own lines and sanitizer reports to a
// copy of standard error.
FILE* quietOutput() {
    const int saved = dup(STDERR_FILENO);
    if (__sanitizer_set_report_fd != nullptr && saved >= 0) {
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved)));
    }
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    FILE* out = saved >= 0 ? fdopen(saved, "w") : nullptr;
    return out != nullptr ? out : stdout;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::filesystem::path> inputs = inputsOf(argc, argv);
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s corpus-folder-or-file...\n", argv[0]);
        return 2;
    }
    FILE* out = quietOutput();
    if (LLVMFuzzerInitialize(&argc, &argv) != 0) {
        fprintf(out, "initialisation failed\n");
        return 1;
    }
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        fprintf(out, "%s (%zu bytes)\n", path.filename().c_str(), bytes.size());
        fflush(out);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    fprintf(out, "%zu inputs ran\n", inputs.size());
    return 0;
}
