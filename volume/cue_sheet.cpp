// Cue sheets: the text that disc-dumping programs write beside a CD's raw sectors, naming the file
// that holds them and the kind of each track. efsh opens the first data track it can read.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "efs/fs_error.h"
#include "host/host_io.h"
#include "volume/image.h"

namespace {

// A sheet is a page of text; anything far larger is no sheet.
constexpr int64_t MOST_SHEET_BYTES = 256 * 1024;

struct track_type {
    const char* name;
    int sector_bytes;
    int mode;
};
const track_type readable[] = {
    {"MODE1/2352", CD_SECTOR, 1},
    {"MODE2/2352", CD_SECTOR, 2},
    {"MODE1/2048", CD_USER_DATA, 0},
};
// Tracks of data in forms efsh does not read (the 2,336 bytes of mode 2 without headers,
// CD-i, karaoke graphics); anything else not AUDIO is unknown.
const char* const unreadable[] = {"MODE2/2336", "MODE2/2048", "MODE2/2324", "CDI/2336", "CDI/2352", "CDG"};

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The words of one line: blanks separate them, double quotes hold a word with blanks.
std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                end = line.size();
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                word += line[i++];
        }
        w.push_back(word);
    }
    return w;
}

// mm:ss:ff (75 frames a second) as a count of sectors; -1 when it is not one.
int64_t frames_of(const std::string& t)
{
    unsigned mm = 0, ss = 0, ff = 0;
    char tail = 0;
    if (std::sscanf(t.c_str(), "%u:%u:%u%c", &mm, &ss, &ff, &tail) != 3 || ss >= 60 || ff >= 75 || mm > 9999)
        return -1;
    return (int64_t{mm} * 60 + ss) * 75 + ff;
}

bool is_absolute(const std::string& name)
{
#ifdef _WIN32
    return !name.empty() && (name[0] == '\\' || name[0] == '/' || (name.size() > 1 && name[1] == ':'));
#else
    return !name.empty() && name[0] == '/';
#endif
}

// The data file's path: relative names are in the sheet's own folder.
std::string beside(const char* sheet, const std::string& name)
{
    if (is_absolute(name))
        return name;
    std::string dir = sheet;
    size_t cut = dir.find_last_of(
#ifdef _WIN32
        "/\\:"
#else
        "/"
#endif
    );
    return cut == std::string::npos ? name : dir.substr(0, cut + 1) + name;
}

struct choice {
    std::string file;       // as the sheet names it
    int file_line = 0;
    const track_type* type = nullptr;
    int track_line = 0;
    int64_t start = 0;      // INDEX 01 of the track, in sectors from the start of the file
};

// Finds the sheet's first readable data track; false with the open note said when there is none.
bool choose(const char* path, const std::string& text, choice* c)
{
    std::string file, file_type;
    int file_line = 0, line_no = 0;
    int audio_line = 0, odd_line = 0;
    std::string odd_what;
    bool chosen = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++line_no;
        std::vector<std::string> w = words_of(line);
        if (w.empty())
            continue;
        std::string key = upper(w[0]);
        if (chosen && (key == "TRACK" || key == "FILE"))
            break;  // the track had no INDEX 01: it starts with its file
        if (key == "FILE") {
            file = w.size() >= 2 ? w[1] : "";
            file_type = w.size() >= 3 ? upper(w.back()) : "";
            file_line = line_no;
        } else if (key == "TRACK") {
            std::string type = w.size() >= 3 ? upper(w[2]) : "";
            if (type == "AUDIO") {
                if (!audio_line)
                    audio_line = line_no;
                continue;
            }
            const track_type* found = nullptr;
            for (const track_type& t : readable)
                if (type == t.name)
                    found = &t;
            if (found && file_line && file_type == "BINARY") {
                *c = choice{file, file_line, found, line_no, 0};
                chosen = true;
            } else if (!odd_line) {
                odd_line = line_no;
                if (!file_line)
                    odd_what = "a TRACK before any FILE";
                else if (found)
                    odd_what = "a data track in a FILE of type " + (file_type.empty() ? "(none)" : file_type) +
                               ": efsh reads data tracks of BINARY files";
                else {
                    bool known = false;
                    for (const char* u : unreadable)
                        known = known || type == u;
                    odd_what = "a track of type " + (type.empty() ? "(none)" : type) + (known ? "" : " (unknown)") +
                               ": efsh reads data tracks of MODE1/2352, MODE2/2352 and MODE1/2048";
                }
            }
        } else if (key == "INDEX" && chosen && w.size() >= 3 && w[1] == "01") {
            int64_t f = frames_of(w[2]);
            if (f < 0) {
                open_note("%s:%d: INDEX 01 %s: not a time in minutes, seconds and frames (mm:ss:ff)", path, line_no,
                          w[2].c_str());
                return false;
            }
            c->start = f;
            return true;
        }
    }
    if (chosen)
        return true;
    if (odd_line)
        open_note("%s:%d: %s", path, odd_line, odd_what.c_str());
    else if (audio_line)
        open_note("%s:%d: the sheet names audio tracks only: no data for efsh to read", path, audio_line);
    else
        open_note("%s: no FILE ... BINARY with a data track in the sheet", path);
    return false;
}

}  // namespace

bool is_cue_sheet(const char* path, const uint8_t* head, size_t len)
{
    size_t n = std::strlen(path);
    if (n >= 4 && upper(path + n - 4) == ".CUE")
        return true;
    // A sheet under another name: text whose first word is one a sheet begins with.
    size_t i = len >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;
    while (i < len && std::isspace(head[i]))
        ++i;
    std::string first;
    while (i < len && std::isalpha(head[i]) && first.size() < 12)
        first += static_cast<char>(std::toupper(head[i++]));
    bool word_ends = i < len && (head[i] == ' ' || head[i] == '\t');
    return word_ends && (first == "FILE" || first == "REM" || first == "CATALOG" || first == "TITLE" ||
                         first == "PERFORMER" || first == "CDTEXTFILE");
}

host_file* cue_open(host_file* sheet, const char* path)
{
    int64_t size = host_file_size(sheet);
    if (size < 0 || size > MOST_SHEET_BYTES) {
        open_note("%s: named as a cue sheet, but %s", path, size < 0 ? "its size cannot be had" : "far too long for one");
        fs_errno = FS_EBADMAGIC;
        return nullptr;
    }
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && host_read_at(sheet, 0, text.data(), text.size()) != 0) {
        fs_errno = FS_EREAD;
        return nullptr;
    }
    for (char& ch : text)
        if (ch == '\r')
            ch = ' ';
    choice c;
    if (!choose(path, text, &c)) {
        fs_errno = FS_EBADMAGIC;
        return nullptr;
    }
    std::string data = beside(path, c.file);
    host_file* f = host_open(data.c_str());
    if (!f) {
        int why = errno;
        open_note("%s:%d: FILE \"%s\": %s cannot be opened", path, c.file_line, c.file.c_str(), data.c_str());
        errno = why;
        return nullptr;
    }
    sector_layout l;
    l.sector_bytes = c.type->sector_bytes;
    l.mode = c.type->mode;
    l.first_sector = c.start;
    int64_t bytes = host_file_size(f);
    int64_t from = c.start * l.sector_bytes;
    if (bytes >= 0) {
        int64_t rest = bytes > from ? bytes - from : 0;
        l.sectors = rest / l.sector_bytes;
        l.cut_bytes = static_cast<int>(rest % l.sector_bytes);
    }
    if (l.sector_bytes == CD_SECTOR) {
        // The track must begin with a sector of its kind: anything else means the sheet describes
        // another file than this one, and every block read would be a read error.
        uint8_t head[16];
        sector_layout seen;
        bool raw = host_read_at(f, from, head, sizeof head) == 0 && raw_sector_layout(head, sizeof head, -1, 0, &seen);
        if (!raw || seen.mode != l.mode) {
            open_note("%s:%d: TRACK %s: %s holds no %s at the track's start (byte %lld)", path, c.track_line,
                      c.type->name, data.c_str(), raw ? "sector of that mode" : "raw CD sector",
                      static_cast<long long>(from));
            host_close(f);
            fs_errno = FS_EBADMAGIC;
            return nullptr;
        }
    }
    if (c.start == 0 && l.sector_bytes == CD_USER_DATA)
        return f;  // the disk's blocks as they are
    if (!image_translate(f, l, data.c_str())) {
        host_close(f);
        return nullptr;
    }
    return f;
}
