// Tab completion: the word under the cursor, its candidates from the command words, the image or
// the host, and what of them is certain.
#include "shell/complete.h"

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <cstring>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"

namespace {

const char* const command_words[] = {"ls", "bye", "debug", "pwd", "lcd", "cd", "more", "cp", "tar", "manifest"};
// Tab on an empty word lists the words before this one (the list users and scripts know); the
// later ones are offered once their first letter is typed.
constexpr size_t EMPTY_WORD_LISTS = 9;

struct candidate {
    std::string name;
    bool dir;
};

enum class source { none, commands, image, host };

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A name that cannot be typed as one word of a line (control bytes, a double quote; blanks and
// tabs outside a quote) or that only moves in place ("." and "..") is never offered.
bool offerable(const char* name, bool quoted)
{
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
        if (*p < 0x20 || *p == 0x7f || *p == '"' || (*p == ' ' && !quoted) || (*p == '\t' && !quoted))
            return false;
    return true;
}

// What is asked for: names beginning with base, directories only or any, typed inside a quote.
struct wanted {
    std::string base;
    bool dirs_only;
    bool quoted;
};

void offer(std::vector<candidate>& out, const char* name, bool dir, const wanted& w)
{
    if ((w.dirs_only && !dir) || std::strncmp(name, w.base.c_str(), w.base.size()) != 0 || !offerable(name, w.quoted))
        return;
    out.push_back({name, dir});
}

// Entries of an image directory, read afresh through a directory stream: a damaged directory
// gives the entries before the damage.
void image_names(const std::string& dir, const wanted& w, std::vector<candidate>& out)
{
    fs_dir* d = fs_opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return;
    while (fs_dirent* e = fs_readdir(d)) {
        if (std::strncmp(e->d_name, w.base.c_str(), w.base.size()) != 0)
            continue;  // the inode is read only for names that can match
        fs_statbuf st;
        bool is_dir = fs_istat(e->d_ino, &st) == 0 && (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
        offer(out, e->d_name, is_dir, w);
    }
    fs_closedir(d);
}

void host_names(const std::string& dir, const wanted& w, std::vector<candidate>& out)
{
    host_dir* d = host_opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return;
    bool is_dir = false;
    while (const char* name = host_readdir(d, &is_dir))
        offer(out, name, is_dir, w);
    host_closedir(d);
}

}  // namespace

completion complete_line(const char* text)
{
    completion c;
    if (text[0] == '!')
        return c;  // an escape is never run: nothing to help with

    // The words before the one under the cursor, and that word, split as the prompt splits them:
    // quotes are no part of a word, and a blank inside them ends none.
    std::vector<std::string> before;
    std::string word;
    bool quoted = false, in_word = false;
    for (const char* p = text; *p; ++p) {
        if (!quoted && is_blank(*p)) {
            if (in_word)
                before.push_back(word);
            word.clear();
            in_word = false;
        } else if (*p == '"') {
            quoted = !quoted;
            in_word = true;
        } else {
            word += *p;
            in_word = true;
        }
    }

    source from = source::none;
    bool dirs_only = false;
    if (before.empty()) {
        from = source::commands;
    } else if (before.size() == 1 && (before[0] == "cd" || before[0] == "more" || before[0] == "lcd")) {
        from = before[0] == "lcd" ? source::host : source::image;
        dirs_only = before[0] != "more";
    } else if (before[0] == "cp" || before[0] == "tar" || before[0] == "manifest") {
        // The options end at the first operand or at "--", as the command's parser sees them.
        size_t operands = 0;
        bool options = true;
        bool takes_value = false;  // manifest's -f and -a take the next word
        for (size_t i = 1; i < before.size(); ++i) {
            if (takes_value)
                takes_value = false;
            else if (options && before[i] == "--")
                options = false;
            else if (options && before[i].size() > 1 && before[i][0] == '-')
                takes_value = before[0] == "manifest" && (before[i] == "-f" || before[i] == "-a");
            else {
                options = false;
                ++operands;
            }
        }
        if (!takes_value && !(options && word.size() > 1 && word[0] == '-'))
            from = operands == 0 ? source::image : source::host;
    }

    size_t slash = word.rfind('/');
    std::string dir = slash == std::string::npos ? "" : word.substr(0, slash + 1);
    wanted want{slash == std::string::npos ? word : word.substr(slash + 1), dirs_only, quoted};
    const std::string& base = want.base;

    std::vector<candidate> found;
    int32_t saved_fs_errno = fs_errno;
    int saved_errno = errno;
    switch (from) {
    case source::none:
        break;
    case source::commands:
        for (size_t i = 0; i < std::size(command_words); ++i)
            if ((!word.empty() || i < EMPTY_WORD_LISTS) && std::strncmp(command_words[i], word.c_str(), word.size()) == 0)
                found.push_back({command_words[i], false});
        break;
    case source::image:
        image_names(dir, want, found);
        break;
    case source::host:
        host_names(dir, want, found);
        break;
    }
    fs_errno = saved_fs_errno;
    errno = saved_errno;
    if (found.empty())
        return c;

    // A damaged directory may name one thing twice; it is offered once.
    std::sort(found.begin(), found.end(), [](const candidate& a, const candidate& b) { return a.name < b.name; });
    found.erase(std::unique(found.begin(), found.end(), [](const candidate& a, const candidate& b) { return a.name == b.name; }),
                found.end());

    const std::string& first = found.front().name;
    if (found.size() == 1) {
        // Inside a quote a whole name closes it; a directory leaves it open for what comes below.
        c.insert = first.substr(base.size()) + (found.front().dir ? "/" : quoted ? "\" " : " ");
    } else {
        size_t common = first.size();
        for (const candidate& f : found) {
            size_t k = 0;
            while (k < common && k < f.name.size() && f.name[k] == first[k])
                ++k;
            common = k;
        }
        c.insert = first.substr(base.size(), common - base.size());
    }
    for (const candidate& f : found)
        c.matches.push_back(f.name + (f.dir ? "/" : ""));
    return c;
}

std::string completion_columns(const std::vector<std::string>& names, int width)
{
    size_t widest = 0;
    for (const std::string& n : names)
        widest = std::max(widest, n.size());
    size_t column = widest + 2;
    size_t columns = std::max<size_t>(1, (static_cast<size_t>(std::max(width, 1)) + 2) / column);
    size_t rows = (names.size() + columns - 1) / columns;
    std::string out;
    for (size_t r = 0; r < rows; ++r) {
        for (size_t k = 0; k < columns; ++k) {
            size_t i = k * rows + r;
            if (i >= names.size())
                break;
            out += names[i];
            if ((k + 1) * rows + r < names.size())
                out.append(column - names[i].size(), ' ');
        }
        out += '\n';
    }
    return out;
}
