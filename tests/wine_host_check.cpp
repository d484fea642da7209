// The Windows host layer's calls for making host files and directories, run under wine by
// tests/wine_check.sh in a folder it has laid out: what a tree copy may open, what it must leave
// alone, the image under another name, directories entered only when real, modes and times through
// what was opened, and a tree deeper than Windows' ordinary paths. Prints each case that fails.
//   wine_host_check.exe <folder>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host_io.h"

namespace {

int failed = 0;

void check(const char* what, bool ok)
{
    if (!ok) {
        std::printf("host check: %s (errno %d)\n", what, errno);
        ++failed;
    }
}

// Refused with the reason expected, and nothing opened.
bool refused(const char* path, unsigned how, host_refusal expected)
{
    host_refusal why = HOST_ERRNO;
    host_out* o = host_create(path, how, &why);
    if (o)
        host_close_out(o);
    return !o && why == expected;
}

bool written(const char* path, unsigned how, const char* text, host_out** keep = nullptr)
{
    host_out* o = host_create(path, how);
    if (!o)
        return false;
    bool ok = host_write(o, text, std::strlen(text)) == std::strlen(text);
    if (keep) {
        *keep = o;
        return ok;
    }
    return host_close_out(o) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || host_chdir(argv[1]) != 0) {
        std::printf("host check: cannot enter the folder\n");
        return 1;
    }
    host_file* image = host_open("image.img");
    check("the image opens", image != nullptr);

    check("a regular file in a tree is cut and written", written("reg", HOST_IN_TREE, "new"));
    check("a new file in a tree", written("fresh", HOST_IN_TREE | HOST_ONLY_NEW, "fresh"));
    check("a name taken is no new file", !host_create("reg", HOST_IN_TREE | HOST_ONLY_NEW) && errno == EEXIST);
    check("a link to a directory is not a file", refused("dirlink", HOST_IN_TREE, HOST_NOT_A_FILE));
    check("a pipe is not a file, and is not waited for", refused("fifo", HOST_IN_TREE, HOST_NOT_A_FILE));
    check("a link to nowhere is not a file", refused("dangling", HOST_IN_TREE, HOST_NOT_A_FILE));
    check("a directory is not a file", refused("adir", HOST_IN_TREE, HOST_NOT_A_FILE));
    check("the image by a hard link, in a tree", refused("hard.img", HOST_IN_TREE, HOST_IS_IMAGE));
    check("the image by a hard link, named", refused("hard.img", HOST_NAMED, HOST_IS_IMAGE));
    check("the image by its own name, named", refused("image.img", HOST_NAMED, HOST_IS_IMAGE));

    host_id id{}, other{};
    host_place* back = host_here();
    check("a new directory is entered", host_enter_dir("newdir", &id) == 0 && written("inside", HOST_IN_TREE, "in"));
    check("going back", back && host_go_back(back) == 0);
    check("a directory there is entered", host_enter_dir("adir", &other) == 0 && host_chdir("..") == 0);
    check("a link to a directory is not entered", host_enter_dir("dirlink", &other) == 1);
    check("a file is not entered", host_enter_dir("reg", &other) == 1);
    check("a directory's times by its id", host_set_dir_perm("newdir", id, 0755, 86400, 2 * 86400) == 0);
    check("not when another has its name", host_set_dir_perm("adir", id, 0755, 86400, 2 * 86400) == -1);

    host_out* o = nullptr;
    check("times and read-only through the file",
          written("ro", HOST_IN_TREE, "ro", &o) && host_out_set_perm(o, 0444, 86400, 3 * 86400) == 0 &&
              host_close_out(o) == 0);
    check("an unfinished file is removed",
          written("gone", HOST_IN_TREE | HOST_ONLY_NEW, "part", &o) && host_discard_out(o, "gone") == 0);

    // Twelve levels of thirty characters, and a file at the bottom: past 260 characters.
    back = host_here();
    bool deep = back != nullptr;
    for (int level = 0; level < 12 && deep; ++level) {
        char name[40];
        std::snprintf(name, sizeof name, "level%02d_abcdefghijklmnopqrstuvw", level);
        deep = host_enter_dir(name, &other) == 0;
    }
    check("a deep tree is entered", deep);
    check("a file at the bottom", deep && written("leaf", HOST_IN_TREE | HOST_ONLY_NEW, "deep"));
    check("going back from the bottom", back && host_go_back(back) == 0 && host_path_kind("level00_abcdefghijklmnopqrstuvw") == 1);

    check("the image closes", image && host_close(image));
    return failed == 0 ? 0 : 1;
}
