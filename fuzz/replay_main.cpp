// Runs a fuzz target over saved inputs, without the fuzzer: how ctest replays
// each target's seed corpus and every crash it ever found, in any build.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat info;
        if (stat(argv[i], &info) != 0)
            continue; // a folder with no inputs yet
        if (!S_ISDIR(info.st_mode)) {
            if (RunFile(argv[i]) != 0)
                return 1;
            ++inputs;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        for (dirent* entry; dir && (entry = readdir(dir));) {
            std::string name = entry->d_name;
            if (name[0] == '.' || name == "README.md")
                continue;
            if (RunFile(std::string(argv[i]) + "/" + name) != 0)
                return 1;
            ++inputs;
        }
        if (dir)
            closedir(dir);
    }
    std::printf("replayed %d inputs\n", inputs);
    return 0;
}
