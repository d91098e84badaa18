// Runs the fuzz target once over each image given (files, or folders of
// them), for builds without libFuzzer: the seeds and the damaged fixtures
// are checked in every build. A finding aborts with its message.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    // The target silences the standard streams the engine prints to; ours
    // are the streams that were standard at start.
    std::FILE* const out = stdout;
    std::FILE* const err = stderr;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path given(argv[i]);
        if (fs::is_directory(given)) {
            for (const auto& entry : fs::directory_iterator(given))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else {
            inputs.push_back(given);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(err, "no images to replay\n");
        return 2;
    }
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in.good() && !in.eof()) {
            std::fprintf(err, "cannot read %s\n", input.c_str());
            return 2;
        }
        std::fprintf(out, "%s (%zu bytes)\n", input.filename().c_str(), bytes.size());
        std::fflush(out);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(out, "replayed %zu images\n", inputs.size());
    return 0;
}
