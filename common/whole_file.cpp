// Whole or not at all: the temporary file beside the target and its rename, through the host layer.
#include "common/whole_file.h"

#include <cerrno>

bool whole_open(whole_file* w, const char* target, host_refusal* why)
{
    *w = whole_file{};
    w->target = target;
    *why = HOST_ERRNO;
    host_target kind = host_target_kind(target);
    if (kind == HOST_TARGET_IMAGE) {
        *why = HOST_IS_IMAGE;
        return false;
    }
    if (kind == HOST_TARGET_OTHER) {
        w->out = host_create(target, HOST_NAMED, why);
        return w->out != nullptr;
    }
    w->beside = true;
    w->replaces = kind == HOST_TARGET_FILE;
    w->out = host_create_beside(target, w->temp, sizeof w->temp, why);
    // A file the user may write in a folder where nothing new may be made is written as it is, as
    // it always was.
    if (!w->out && *why == HOST_ERRNO && errno == EACCES && w->replaces) {
        w->beside = false;
        w->out = host_create(target, HOST_NAMED, why);
    }
    return w->out != nullptr;
}

int whole_commit(whole_file* w)
{
    host_out* o = w->out;
    w->out = nullptr;
    if (!w->beside)
        return host_close_out(o);
    return host_commit_out(o, w->temp, w->target);
}

void whole_discard(whole_file* w)
{
    if (!w->out)
        return;
    int reason = errno;
    (void)host_discard_out(w->out, w->beside ? w->temp : w->target);
    w->out = nullptr;
    errno = reason;
}
