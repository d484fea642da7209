// No line editor in this build: the prompt reads its input as from any stream, and a console that
// edits lines itself (Windows) still does.
#include "shell/line_edit.h"

line_editor* line_edit_open(FILE*, FILE*)
{
    return nullptr;
}

bool line_edit_gets(line_editor*, const char*, char*, int)
{
    return false;
}

void line_edit_close(line_editor*) {}
