// Splitting text in place: paths at their separators, command lines into words.
#pragma once
#include <cstring>

// strtok_r's splitting, which not every host's C library offers: the next run of characters not
// in delims, NUL-terminated in place; null when none is left.
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

// The next word of a command line: a run of characters other than blanks and tabs, where a part in
// double quotes may hold blanks and tabs too ("C:\Users\John Smith"). The quotes are no part of
// the word, `""` is an empty word, and a quote left open runs to the end of the line. The word is
// NUL-terminated in place (it only ever gets shorter); null when none is left. A line without a
// double quote splits exactly as next_token(s, " \t", save) splits it.
inline char* next_word(char* s, char** save)
{
    char* p = s ? s : *save;
    p += std::strspn(p, " \t");
    if (*p == '\0') {
        *save = p;
        return nullptr;
    }
    char* in = p;
    char* out = p;
    bool quoted = false;
    for (; *in && (quoted || (*in != ' ' && *in != '\t')); ++in) {
        if (*in == '"')
            quoted = !quoted;
        else
            *out++ = *in;
    }
    *save = *in ? in + 1 : in;
    *out = '\0';
    return p;
}
