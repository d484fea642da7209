// A stand-in for the pager on Windows, where the tests cannot write a shell script: it copies its
// standard input, byte for byte, into the file named by LESS_LOG (or discards it without one).
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    const char* log = std::getenv("LESS_LOG");
    FILE* out = log ? std::fopen(log, "wb") : nullptr;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
        if (out && std::fwrite(buf, 1, n, out) != n)
            return 1;
    return out && std::fclose(out) != 0 ? 1 : 0;
}
