// Line editing of the prompt at a terminal: editing keys, this session's history and Tab completion.
// Builds without an editor (or on hosts whose console edits lines itself) have none, and the
// prompt loop reads its input as from any stream.
#pragma once
#include <cstdio>

struct line_editor;

// An editor for lines typed on in and echoed on out, when both are terminals and the build has an
// editor; otherwise null.
line_editor* line_edit_open(FILE* in, FILE* out);

// Shows prompt, lets the user edit a line and hands it out as fgets(buf, size, in) would hand out
// the same characters typed at a plain terminal: at most size - 1 at a time, newline included when
// it fits, the rest of a longer line on the next calls (each shown after the prompt again).
// False at the end of input (Ctrl-D on an empty line) or when the terminal cannot be read.
bool line_edit_gets(line_editor* ed, const char* prompt, char* buf, int size);

void line_edit_close(line_editor* ed);
