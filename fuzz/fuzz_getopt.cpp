// Fuzz target: the option parser on arbitrary argument vectors, checked call by call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "shell/getopt.h"

namespace {

// True when p points into one of the argument strings (their terminating NULs included).
bool inside_argv(const char* p, int argc, char* const* argv)
{
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (p >= a && p <= a + std::strlen(a))
            return true;
    }
    return false;
}

// Parses the whole vector; every call must move forward and leave the state consistent.
void parse(int argc, char* const* argv, const char* optstring)
{
    efsh::getopt_reset();
    efsh::opterr = 1;
    // More calls than there are characters in the vector means the parser is not moving forward.
    size_t budget = 2;
    for (int i = 0; i < argc; ++i)
        budget += std::strlen(argv[i]) + 1;
    for (;;) {
        int before_ind = efsh::optind;
        int before_pos = efsh::optpos;
        int c = efsh::getopt(argc, argv, optstring);
        if (efsh::optind < 1 || efsh::optind > (argc > 1 ? argc : 1))
            std::abort();
        if (efsh::optpos < 1)
            std::abort();
        if (efsh::optpos > 1 && (efsh::optind >= argc || efsh::optpos > static_cast<int>(std::strlen(argv[efsh::optind]))))
            std::abort();
        if (c == -1)
            break;
        if (efsh::optind == before_ind && efsh::optpos <= before_pos)
            std::abort();  // no progress
        if (c != '?') {
            if (c == ':' || c == 0 || !std::strchr(optstring, c))
                std::abort();  // only a character of the option string is ever returned
            const char* entry = std::strchr(optstring, c);
            if (entry[1] == ':') {
                if (!efsh::optarg || !inside_argv(efsh::optarg, argc, argv))
                    std::abort();
            } else if (efsh::optarg) {
                std::abort();
            }
        }
        if (budget-- == 0)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Byte 0 chooses the option string: the program's own, cp's, or the first piece of the input.
    const int choice = data[0] % 3;
    std::vector<std::string> pieces;
    std::string cur;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            pieces.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    pieces.push_back(cur);
    std::string optstring = choice == 0 ? "hdp:V" : choice == 1 ? "rpv" : pieces.front();
    if (choice == 2)
        pieces.erase(pieces.begin());
    if (pieces.size() > 4096)
        return 0;

    std::vector<char*> argv;
    for (std::string& p : pieces)
        argv.push_back(p.data());
    argv.push_back(nullptr);
    fuzz::quiet q;
    parse(static_cast<int>(pieces.size()), argv.data(), optstring.c_str());
    return 0;
}
