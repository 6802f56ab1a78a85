// Runs a fuzz target over every file of its corpus folders, so that the
// corpus is replayed by every test run, sanitizers included. A folder or
// file that is not there, a folder with no input in it, or an input that
// cannot be read fails the run: a misspelt path must not pass as a replay.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER_OR_FILE...\n", argv[0]);
        return 2;
    }
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(argv[i], ec)) {
            files.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "%s: no such corpus folder or file\n", argv[i]);
            return 2;
        }
        if (ec || files.empty()) {
            std::fprintf(stderr, "%s: no input to replay%s%s\n", argv[i], ec ? ": " : "", ec ? ec.message().c_str() : "");
            return 2;
        }
        for (const auto& path : files) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) {
                std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
                return 2;
            }
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++runs;
        }
    }
    // The empty input as well, which a corpus seldom holds.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("replayed %d inputs\n", runs + 1);
    return 0;
}
