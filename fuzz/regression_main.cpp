// Driver for the ordinary build: feeds every input kept under a directory to one fuzz target.
//
// Usage: fuzz_<target>_regress DIR...
// Each file in each DIR holds one input as hex digits (the `xxd -p` form: whitespace is ignored,
// and lines starting with '#' are comments).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool decode(const std::string& path, std::vector<uint8_t>& out)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    int high = -1;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#')
            continue;
        for (char c : line) {
            if (std::isspace(static_cast<unsigned char>(c)))
                continue;
            int v = hex_digit(c);
            if (v < 0)
                return false;
            if (high < 0) {
                high = v;
            } else {
                out.push_back(static_cast<uint8_t>(high << 4 | v));
                high = -1;
            }
        }
    }
    return high < 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Use: %s DIR...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> dirs(argv + 1, argv + argc);
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int run = 0;
    for (const std::string& dir : dirs) {
        int here = 0;
        for (const std::string& name : fuzz::list_dir(dir)) {
            const std::string path = dir + "/" + name;
            std::vector<uint8_t> data;
            if (!decode(path, data)) {
                std::fprintf(stderr, "%s: not a hex file\n", path.c_str());
                return 1;
            }
            std::fprintf(stderr, "%s (%zu bytes)\n", name.c_str(), data.size());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++here;
        }
        if (here == 0) {
            std::fprintf(stderr, "%s: no inputs\n", dir.c_str());
            return 1;
        }
        run += here;
    }
    std::fprintf(stderr, "%d inputs ran to the end\n", run);
    return 0;
}
