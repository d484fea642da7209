// The archive sink of the tree walk: a directory tree of the image, or one entry, kept whole in a
// pax archive: links, devices, pipes, hard links, owners and every permission bit included.
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "walk/progress.h"
#include "walk/tar_archive.h"
#include "walk/tree_walk.h"
#include "walk/work.h"

namespace {

// Longer archive paths are refused by common readers (and by the host that would extract them).
constexpr size_t ARCHIVE_PATH_MAX = 4095;
// A symbolic link's text as an archive and the hosts extracting it take it.
constexpr int32_t LINK_TEXT_MAX = 1023;

struct tar_run {
    tar_archive* archive;
    bool verbose;
    std::string name;   // the archive name of the directory being walked, with its '/' ("" at the root)
    std::string image;  // its path in the image, for reports ("" at the root)
    // The first archive name of every inode of more than one name archived so far: a later name
    // of it becomes a hard link to that one.
    std::unordered_map<uint32_t, std::string> first_name;
};

void not_archived(const std::string& image_path)
{
    progress_hide();
    std::fprintf(stderr, "%s not archived\n", image_path.c_str());
}

// -v: the entry's archive name, once its header is written.
void listed(const tar_run* t, const std::string& name)
{
    if (!t->verbose)
        return;
    progress_hide();
    std::fprintf(stderr, "%s\n", name.c_str());
}

void report(const std::string& image_path)
{
    fs_perror(image_path.c_str());
}

bool usable_name(const walk_entry& e)
{
    return e.name_len != 0 && e.name_len == std::strlen(e.name) && std::strcmp(e.name, ".") != 0 &&
           std::strcmp(e.name, "..") != 0 && std::strchr(e.name, '/') == nullptr;
}

// The link's text, the file's whole data; false (reported) when it cannot be an archive's link.
bool link_text(const walk_entry& e, const std::string& image_path, std::string* text)
{
    if (e.st.st_size < 0 || e.st.st_size > LINK_TEXT_MAX)
        return false;
    fs_file* s = fs_iopen(e.ino);
    if (!s) {
        report(image_path);
        return false;
    }
    char buf[LINK_TEXT_MAX + 1];
    uint32_t got = fs_fread(buf, 1, static_cast<uint32_t>(e.st.st_size), s);
    bool whole = got == static_cast<uint32_t>(e.st.st_size);
    if (!whole) {
        if (fs_errno == 0)
            fs_errno = FS_EREAD;
        report(image_path);
    }
    fs_fclose(s);
    text->assign(buf, got);
    return whole && text->find('\0') == std::string::npos;
}

// A regular file: header, then its bytes as cp copies them. Data that end early are reported and
// made up with zeros to the size the header declared. False (reported) when it cannot be opened.
bool archive_file(tar_run* t, const walk_entry& e, const std::string& name, const std::string& image_path)
{
    fs_file* s = fs_iopen(e.ino);
    if (!s) {
        report(image_path);
        not_archived(image_path);
        return false;
    }
    auto size = static_cast<uint64_t>(e.st.st_size);
    progress_file(name.c_str());
    if (tar_header(t->archive, name, TAR_FILE, e.st, size))
        listed(t, name);
    if (tar_file_data(t->archive, s, size) && !work_stopped() && static_cast<int64_t>(s->osize) <= e.st.st_size) {
        if (fs_errno == 0)
            fs_errno = FS_EREAD;
        report(image_path);
    }
    fs_fclose(s);
    if (!work_stopped())
        work_file_done();
    return true;
}

// One entry of any kind under its archive name; true when it went into the archive.
bool archive_entry(tar_run* t, const walk_entry& e, const std::string& name, const std::string& image_path)
{
    uint16_t type = e.st.st_mode & S_TYPE_MASK;
    bool dir = type == S_TYPE_DIR;
    if (name.size() - dir > ARCHIVE_PATH_MAX || (type == S_TYPE_REG && e.st.st_size < 0)) {
        not_archived(image_path);
        return false;
    }
    if (!dir && e.st.st_nlink > 1) {
        auto it = t->first_name.find(e.ino);
        if (it != t->first_name.end()) {
            if (tar_header(t->archive, name, TAR_HARD_LINK, e.st, 0, it->second))
                listed(t, name);
            return true;
        }
    }
    tar_type kind = TAR_FILE;
    std::string link;
    switch (type) {
    case S_TYPE_REG:
        if (!archive_file(t, e, name, image_path))
            return false;
        break;
    case S_TYPE_DIR: kind = TAR_DIR; break;
    case S_TYPE_CHR: kind = TAR_CHAR; break;
    case S_TYPE_BLK: kind = TAR_BLOCK; break;
    case S_TYPE_FIFO: kind = TAR_FIFO; break;
    case S_TYPE_LNK:
        kind = TAR_SYMLINK;
        if (!link_text(e, image_path, &link)) {
            not_archived(image_path);
            return false;
        }
        break;
    default:  // sockets have no tar type; other values are no kind of file at all
        not_archived(image_path);
        return false;
    }
    if (type != S_TYPE_REG && tar_header(t->archive, name, kind, e.st, 0, link))
        listed(t, name);
    if (!dir && e.st.st_nlink > 1)
        t->first_name.emplace(e.ino, name);
    return true;
}

walk_step on_entry(void* ctx, const walk_entry& e, const char* /*above*/, const char* /*name*/)
{
    auto* t = static_cast<tar_run*>(ctx);
    std::string image_path = t->image + "/" + std::string(e.name);
    if (!e.stat_ok) {
        report(image_path);
        return WALK_NEXT;
    }
    if (!usable_name(e) || e.entered) {
        not_archived(image_path);
        return WALK_NEXT;
    }
    bool dir = (e.st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    std::string name = t->name + e.name + (dir ? "/" : "");
    if (!archive_entry(t, e, name, image_path) || !dir)
        return WALK_NEXT;
    t->name = name;
    t->image = image_path;
    return WALK_INTO;
}

// Back from a directory walked into: both paths lose its name.
void on_back(void* ctx, const walk_entry& e, const char* /*above*/, const char* /*name*/)
{
    auto* t = static_cast<tar_run*>(ctx);
    t->name.resize(t->name.size() - e.name_len - 1);
    t->image.resize(t->image.size() - e.name_len - 1);
}

// The directory's header is in the archive already: its entries are missing, and are named so.
void on_unreadable(void* ctx, const char* /*name*/)
{
    auto* t = static_cast<tar_run*>(ctx);
    report(t->image.empty() ? std::string("/") : t->image);
}

// The directory's header is in the archive already: what its listing passed over is named.
void on_damaged(void* ctx, const char* /*name*/, const fs_dir_damage& d)
{
    auto* t = static_cast<tar_run*>(ctx);
    progress_hide();
    fs_report_damage(t->image.empty() ? "/" : t->image.c_str(), d);
}

void on_arrive(void*, const char*) {}

bool on_enter(void*, const char*, uint32_t)
{
    return true;
}

void on_leave(void*, const char*) {}

bool on_stop(void* ctx)
{
    return tar_failed(static_cast<tar_run*>(ctx)->archive) || work_stopped();
}

walk_sink archive_sink(tar_run* t)
{
    return walk_sink{t, on_arrive, on_unreadable, on_enter, on_unreadable, on_damaged, on_entry, on_leave, on_back, on_stop};
}

// The canonical image path of a directory, as the library's current directory would read there;
// false when it cannot be had (a path too long for the library).
bool directory_path(const char* path, std::string* out)
{
    char saved[PATH_BUF], there[PATH_BUF];
    fs_getcwd(saved);
    if (fs_chdir(path) != 0)
        return false;
    fs_getcwd(there);
    fs_chdir(saved);
    *out = there;
    return true;
}

}  // namespace

// The archive of `source` (inode ino, stat st): for the root its entries from the root down,
// otherwise the entry named by the last component and, for a directory, its tree.
void archive_tree(tar_archive* archive, bool verbose, const char* source, uint32_t ino, const fs_statbuf& st)
{
    tar_run run{archive, verbose, {}, {}, {}};
    tar_run* t = &run;
    bool dir = (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    // An entry named by its number ("<N>") is archived under that word, its tree walked by inode.
    bool by_number = fs_is_inode_word(source);
    std::string path = source;
    if (!by_number && dir && !directory_path(source, &path)) {
        report(source);
        return;
    }
    if (!by_number && path[0] != '/') {  // reports name the file from the root
        char cwd[PATH_BUF];
        fs_getcwd(cwd);
        path = std::string(std::strcmp(cwd, "/") == 0 ? "" : cwd) + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (dir && path == "/") {
        t->name.clear();
        t->image.clear();
        walk_tree_listed("/", ino, archive_sink(t));
        return;
    }
    size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    t->image = slash == std::string::npos ? "" : path.substr(0, slash);
    walk_entry top{};
    top.name = last.c_str();
    top.name_len = last.size();
    top.ino = ino;
    top.stat_ok = true;
    top.st = st;
    if (on_entry(t, top, "", "") == WALK_INTO)
        walk_tree_listed(path.c_str(), ino, archive_sink(t));
}
