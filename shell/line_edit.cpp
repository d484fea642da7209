// Line editing through libedit: emacs-style keys, this session's history in memory and Tab
// completion. Everything that knows libedit lives in this file.
#include "shell/line_edit.h"

#include <clocale>
#include <cstring>
#include <histedit.h>
#include <initializer_list>
#include <new>
#include <string>

#include "host/host_io.h"
#include "shell/complete.h"

struct line_editor {
    EditLine* el;
    History* hist;
    FILE* out;
    const char* prompt;
    std::string pending;  // the edited line (newline included) not yet handed out
    size_t handed = 0;
    std::string user_ctype;  // the user's character set, in force only while a line is edited
    // The line and cursor as an ambiguous Tab left them: a second Tab there lists the matches.
    std::string tab_line;
    size_t tab_cursor = std::string::npos;
};

namespace {

constexpr int HISTORY_LINES = 10000;

// The rest of the program runs in the "C" character set, as it always has; the editor needs the
// user's to take multibyte characters as one.
struct user_ctype {
    std::string saved;
    explicit user_ctype(const char* want)
    {
        if (const char* now = std::setlocale(LC_CTYPE, nullptr))
            saved = now;
        std::setlocale(LC_CTYPE, want);
    }
    ~user_ctype()
    {
        if (!saved.empty())
            std::setlocale(LC_CTYPE, saved.c_str());
    }
    user_ctype(const user_ctype&) = delete;
    user_ctype& operator=(const user_ctype&) = delete;
};

line_editor* editor_of(EditLine* el)
{
    void* ed = nullptr;
    el_get(el, EL_CLIENTDATA, &ed);
    return static_cast<line_editor*>(ed);
}

char* show_prompt(EditLine* el)
{
    return const_cast<char*>(editor_of(el)->prompt);
}

// A list this long is shown only when asked for: a directory of thousands of entries would
// otherwise scroll the session off the screen on a second Tab.
constexpr size_t ASK_FROM = 100;

// y or a blank shows the list; n, Delete, Ctrl-C, Ctrl-D or the end of input do not.
bool answer_yes(EditLine* el, FILE* out, size_t count)
{
    std::fprintf(out, "Display all %zu possibilities? (y or n)", count);
    std::fflush(out);
    char ch = 0;
    while (el_getc(el, &ch) == 1) {
        if (ch == 'y' || ch == 'Y' || ch == ' ' || ch == 'n' || ch == 'N' || ch == '\x7f' || ch == '\x03' ||
            ch == '\x04')
            break;
        ch = 0;
    }
    std::fputc('\n', out);
    return ch == 'y' || ch == 'Y' || ch == ' ';
}

unsigned char complete_key(EditLine* el, int)
{
    line_editor* ed = editor_of(el);
    const LineInfo* li = el_line(el);
    std::string line(li->buffer, static_cast<size_t>(li->lastchar - li->buffer));
    size_t cursor = static_cast<size_t>(li->cursor - li->buffer);
    completion c = complete_line(line.substr(0, cursor).c_str());
    if (c.matches.empty()) {
        ed->tab_cursor = std::string::npos;
        return CC_REFRESH_BEEP;
    }
    if (!c.insert.empty() && el_insertstr(el, c.insert.c_str()) != 0)
        return CC_REFRESH_BEEP;
    if (c.matches.size() == 1) {
        ed->tab_cursor = std::string::npos;
        return CC_REFRESH;
    }
    if (c.insert.empty() && ed->tab_cursor == cursor && ed->tab_line == line) {
        std::fputc('\n', ed->out);
        if (c.matches.size() >= ASK_FROM && !answer_yes(el, ed->out, c.matches.size()))
            return CC_REDISPLAY;
        int width = 80;
        el_get(el, EL_GETTC, "co", &width, static_cast<void*>(nullptr));
        std::fputs(completion_columns(c.matches, width).c_str(), ed->out);
        std::fflush(ed->out);
        return CC_REDISPLAY;
    }
    li = el_line(el);
    ed->tab_line.assign(li->buffer, static_cast<size_t>(li->lastchar - li->buffer));
    ed->tab_cursor = static_cast<size_t>(li->cursor - li->buffer);
    return CC_REFRESH_BEEP;
}

bool blank(const std::string& line)
{
    return line.find_first_not_of(" \t\n") == std::string::npos;
}

}  // namespace

line_editor* line_edit_open(FILE* in, FILE* out)
{
    if (!host_is_terminal(in) || !host_is_terminal(out))
        return nullptr;
    line_editor* ed = new (std::nothrow) line_editor{};
    if (!ed)
        return nullptr;
    ed->out = out;
    // Set up in the user's character set: the key map takes the printable characters beyond
    // ASCII for text to insert only when they are printable there.
    user_ctype ctype("");
    if (const char* now = std::setlocale(LC_CTYPE, nullptr))
        ed->user_ctype = now;
    ed->el = el_init("efsh", in, out, stderr);
    ed->hist = history_init();
    if (!ed->el || !ed->hist) {
        line_edit_close(ed);
        return nullptr;
    }
    HistEvent ev;
    history(ed->hist, &ev, H_SETSIZE, HISTORY_LINES);
    el_set(ed->el, EL_CLIENTDATA, static_cast<void*>(ed));
    el_set(ed->el, EL_EDITOR, "emacs");
    el_set(ed->el, EL_SIGNAL, 1);  // the terminal is restored when a signal stops or ends efsh
    el_set(ed->el, EL_PROMPT, show_prompt);
    el_set(ed->el, EL_HIST, history, ed->hist);
    // The narrow el_set copies the name and help text and never frees them; the wide one takes them as they are.
    el_wset(ed->el, EL_ADDFN, L"efsh-complete", L"complete the word before the cursor", complete_key);
    el_set(ed->el, EL_BIND, "^I", "efsh-complete", nullptr);
    // Keys as other shells have them, whatever the terminal description says.
    el_set(ed->el, EL_BIND, "^W", "ed-delete-prev-word", nullptr);
    el_set(ed->el, EL_BIND, "^U", "em-kill-line", nullptr);
    el_set(ed->el, EL_BIND, "^K", "ed-kill-line", nullptr);
    for (const char* home : {"\\e[H", "\\eOH", "\\e[1~", "\\e[7~"})
        el_set(ed->el, EL_BIND, home, "ed-move-to-beg", nullptr);
    for (const char* end : {"\\e[F", "\\eOF", "\\e[4~", "\\e[8~"})
        el_set(ed->el, EL_BIND, end, "ed-move-to-end", nullptr);
    el_set(ed->el, EL_BIND, "\\e[3~", "ed-delete-next-char", nullptr);
    el_set(ed->el, EL_BIND, "\\e[1;5D", "ed-prev-word", nullptr);
    el_set(ed->el, EL_BIND, "\\e[1;5C", "em-next-word", nullptr);
    return ed;
}

bool line_edit_gets(line_editor* ed, const char* prompt, char* buf, int size)
{
    if (ed->handed >= ed->pending.size()) {
        ed->pending.clear();
        ed->handed = 0;
        ed->prompt = prompt;
        ed->tab_cursor = std::string::npos;
        int count = 0;
        const char* line;
        {
            user_ctype ctype(ed->user_ctype.c_str());
            line = el_gets(ed->el, &count);
        }
        // Ctrl-D on an empty line, a failing terminal, or input ending inside a line, which is
        // never run, as at the end of any other input.
        if (!line || count <= 0 || line[count - 1] != '\n') {
            std::fputc('\n', ed->out);  // the host shell's prompt then starts a line of its own
            // Ctrl-C drops the line being typed, as a shell does: an empty line, and the prompt again.
            if (!line && host_stop_asked() == HOST_STOP_INTERRUPT) {
                host_take_stop();
                std::strcpy(buf, size > 1 ? "\n" : "");
                return true;
            }
            return false;
        }
        ed->pending.assign(line, static_cast<size_t>(count));
        if (!blank(ed->pending)) {
            HistEvent ev;
            std::string entry = ed->pending.substr(0, ed->pending.size() - 1);
            history(ed->hist, &ev, H_ENTER, entry.c_str());
        }
    } else {
        std::fputs(prompt, ed->out);
        std::fflush(ed->out);
    }
    // What fgets would take of the same characters: up to size - 1, up to and with a newline.
    size_t left = ed->pending.size() - ed->handed;
    size_t n = size > 1 ? std::min(left, static_cast<size_t>(size - 1)) : 0;
    const char* from = ed->pending.data() + ed->handed;
    if (const void* nl = std::memchr(from, '\n', n))
        n = static_cast<size_t>(static_cast<const char*>(nl) - from) + 1;
    std::memcpy(buf, from, n);
    buf[n] = '\0';
    ed->handed += n;
    return true;
}

void line_edit_close(line_editor* ed)
{
    if (!ed)
        return;
    if (ed->el)
        el_end(ed->el);
    if (ed->hist)
        history_end(ed->hist);
    delete ed;
}
