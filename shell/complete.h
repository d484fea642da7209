// Tab completion at the prompt: which word is being typed and what it can become. Nothing here
// knows about terminals, so the whole of it runs in tests without one.
#pragma once
#include <string>
#include <vector>

struct completion {
    std::string insert;                // text to put at the cursor; empty when nothing is certain
    std::vector<std::string> matches;  // every candidate, sorted, directories with a trailing "/"
};

// What Tab offers for text, the part of the line before the cursor. The first word completes from
// the command words; the path after cd, more and the source of cp from the image's current
// directory (or the root); the path after lcd and the target of cp from the host's. One match is
// completed whole, a directory followed by "/" and anything else by a blank; several give their
// common prefix. Names holding blanks are offered inside a double quote, and a whole one closes
// it. Neither fs_errno nor errno is changed.
completion complete_line(const char* text);

// The names laid out in columns across a terminal width characters wide, every row ending in a
// newline, in the order of the list reading down the columns.
std::string completion_columns(const std::vector<std::string>& names, int width);
