// strtok_r's splitting, which not every host's C library offers: the next run of characters not
// in delims, NUL-terminated in place; null when none is left.
#pragma once
#include <cstring>

inline char* next_token(char* s, const char* delims, char** save)
{
    char* p = s ? s : *save;
    p += std::strspn(p, delims);
    if (*p == '\0') {
        *save = p;
        return nullptr;
    }
    char* end = p + std::strcspn(p, delims);
    *save = *end ? end + 1 : end;
    *end = '\0';
    return p;
}
