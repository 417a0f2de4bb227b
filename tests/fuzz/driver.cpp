// Runs a fuzz target once on each file of the given folders (and on files
// named directly), in name order: the seed corpus and the inputs that once
// made it crash, as an ordinary test in builds without libFuzzer. Hidden
// files (.gitkeep) are skipped. A failed check or a sanitizer report aborts
// the run; the name printed last is the input that did it.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool isHidden(const fs::path& path)
{
    return path.filename().string().rfind('.', 0) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        std::error_code error;
        if (fs::is_directory(path, error)) {
            std::vector<fs::path> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
                if (entry.is_regular_file() && !isHidden(entry.path()))
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(path, error)) {
            inputs.push_back(path);
        } else {
            std::fprintf(stderr, "%s: %s: no such file or folder\n", argv[0], argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "%s: no inputs to run\n", argv[0]);
        return 1;
    }

    for (const fs::path& path : inputs) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                      std::istreambuf_iterator<char>()};
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "%s: %s: cannot read\n", argv[0], path.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs ran clean\n", inputs.size());
    return 0;
}
