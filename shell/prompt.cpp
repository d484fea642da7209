// The prompt loop: reading lines, splitting them into words and running the commands; and the same
// lines given on the command line (-c, -f), run without a prompt until the first that fails.
#include <cerrno>
#include <cstring>
#include <string>

#include "common/report.h"
#include "common/tokens.h"
#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/line_edit.h"
#include "shell/shell.h"
#include "walk/progress.h"
#include "walk/work.h"

namespace {

constexpr int LINE_BUF = 2048;
constexpr int MAX_WORDS = 1024;

int split(char* line, char** words)
{
    int n = 0;
    char* save = nullptr;
    for (char* w = next_word(line, &save); w && n < MAX_WORDS - 1; w = next_word(nullptr, &save))
        words[n++] = w;
    words[n] = nullptr;
    return n;
}

// A command with a word it needs, or its use line (a usage line is a failure).
bool needs_word(char** words, const char* use)
{
    if (words[1])
        return true;
    std::fprintf(stderr, "%s", use);
    return false;
}

// cp and tar: the status line while they run, the line that says where a stop left them.
int copying(int (*command)(int, char**), int n, char** words)
{
    work_start(words[0]);
    progress_begin(words[0]);
    int rc = command(n, words);
    progress_end();
    return rc;
}

// Runs one command: CMD_OK, CMD_FAILED or CMD_BYE.
int run_command(int n, char** words)
{
    const char* cmd = words[0];
    if (std::strcmp(cmd, "ls") == 0) {
        do_ls(".", words[1]);
    } else if (std::strcmp(cmd, "bye") == 0) {
        return CMD_BYE;
    } else if (std::strcmp(cmd, "debug") == 0) {
        debug = !debug;
        std::fprintf(stderr, debug ? "debug on\n" : "debug off\n");
    } else if (std::strcmp(cmd, "pwd") == 0) {
        char cwd[PATH_BUF];
        fs_getcwd(cwd);
        std::fprintf(stderr, "%s\n", cwd);
    } else if (std::strcmp(cmd, "lcd") == 0) {
        if (!needs_word(words, "use: lcd path\n"))
            return CMD_FAILED;
        if (host_chdir(words[1]) != 0)
            report_errno(words[1]);
    } else if (std::strcmp(cmd, "cd") == 0) {
        if (!needs_word(words, "use: cd path\n"))
            return CMD_FAILED;
        if (fs_chdir(words[1]) == -1)
            fs_perror(words[1]);
    } else if (std::strcmp(cmd, "more") == 0) {
        if (!needs_word(words, "use: more file\n"))
            return CMD_FAILED;
        if (do_more(words[1]) != 0)
            fs_perror(words[1]);
    } else if (std::strcmp(cmd, "cp") == 0) {
        // errno is cleared first so that the host line names a host failure of this very copy.
        errno = 0;
        int rc = copying(do_cp, n, words);
        if (rc != 0 && errno != 0)
            report_errno(words[0]);
        return rc != 0 ? CMD_FAILED : CMD_OK;
    } else if (std::strcmp(cmd, "tar") == 0) {
        return copying(do_tar, n, words) != 0 ? CMD_FAILED : CMD_OK;  // every failure is reported by tar itself
    } else if (std::strcmp(cmd, "manifest") == 0) {
        return copying(do_manifest, n, words) != 0 ? CMD_FAILED : CMD_OK;  // likewise
    } else {
        std::fprintf(stderr, "duh?\n");
        std::fprintf(stderr, "debug ls bye pwd lcd cd cp more !cmd\n");
        return CMD_FAILED;
    }
    return CMD_OK;
}

}  // namespace

int run_line(char* line)
{
    size_t len = std::strlen(line);
    if (len > 0)
        line[len - 1] = '\0';
    bool escape = line[0] == '!';
    char* words[MAX_WORDS + 1];
    int n = split(escape ? line + 1 : line, words);
    if (n == 0)
        return CMD_OK;
    if (escape) {
        std::fprintf(stderr, "sorry '!' feature not supported on this system\n");
        return CMD_FAILED;
    }
    unsigned long before = failures_reported;
    int status = run_command(n, words);
    // A failure reported on the way fails the command, whatever it returned.
    return status == CMD_OK && failures_reported != before ? CMD_FAILED : status;
}

void prompt_loop(FILE* in, const char* image, int partition)
{
    char line[LINE_BUF];
    line_editor* editor = line_edit_open(in, stdout);
    const std::string prompt = std::string(image) + "(" + std::to_string(partition) + ") # ";
    for (;;) {
        std::fflush(stderr);
        if (editor) {
            if (!line_edit_gets(editor, prompt.c_str(), line, sizeof line))
                break;
        } else {
            std::fputs(prompt.c_str(), stdout);
            std::fflush(stdout);
            // A read error ends the loop like the end of input: the line buffer is not to be trusted.
            // An interrupt while a line is typed drops that line, and the prompt comes again.
            if (!std::fgets(line, sizeof line, in) || std::feof(in) || std::ferror(in)) {
                if (host_stop_after_read(in) == HOST_STOP_INTERRUPT) {
                    host_take_stop();
                    std::clearerr(in);
                    std::fputc('\n', stdout);
                    continue;
                }
                break;
            }
        }
        if (run_line(line) == CMD_BYE || host_stop_asked() == HOST_STOP_END)
            break;
        // An interrupt the command did not stop for (it had finished) stops nothing more.
        if (host_stop_asked() == HOST_STOP_INTERRUPT)
            host_take_stop();
    }
    line_edit_close(editor);
}

namespace {

// The next line of text as fgets(buf, size) would read it from a stream holding that text: up
// to size - 1 characters, up to and with a newline. False at its end.
bool text_line(const char** at, char* buf, int size)
{
    if (**at == '\0')
        return false;
    size_t len = std::strcspn(*at, "\n");
    if ((*at)[len] == '\n')
        ++len;
    len = std::min(len, static_cast<size_t>(size - 1));
    std::memcpy(buf, *at, len);
    buf[len] = '\0';
    *at += len;
    return true;
}

}  // namespace

int run_script(const script_part* parts, size_t count)
{
    char line[LINE_BUF];
    for (size_t i = 0; i < count; ++i) {
        // A -c line ends as a typed one does; a script's last line is run with or without its newline.
        std::string typed = parts[i].file ? std::string() : std::string(parts[i].text) + "\n";
        const char* at = typed.c_str();
        for (;;) {
            std::fflush(stderr);
            if (host_stop_asked() != HOST_NO_STOP)
                break;
            if (parts[i].file) {
                if (!std::fgets(line, sizeof line, parts[i].file))
                    break;
                size_t len = std::strlen(line);
                if (std::feof(parts[i].file) && (len == 0 || line[len - 1] != '\n') && len + 1 < sizeof line)
                    std::strcat(line, "\n");
            } else if (!text_line(&at, line, sizeof line)) {
                break;
            }
            int status = run_line(line);
            if (host_stop_asked() != HOST_NO_STOP)
                break;
            if (status == CMD_BYE)
                return EXIT_DONE;
            if (status == CMD_FAILED)
                return EXIT_FAILED;
        }
        if (parts[i].file && std::ferror(parts[i].file) && host_stop_asked() == HOST_NO_STOP) {
            report_errno(parts[i].name);
            return EXIT_FAILED;
        }
        if (host_stop_asked() != HOST_NO_STOP)
            break;
    }
    int sig = 0;
    if (host_take_stop(&sig) != HOST_NO_STOP)
        return 128 + sig;
    return EXIT_DONE;
}

uint32_t find_source(const char* word, fs_statbuf* st)
{
    uint32_t ino = fs_word_inode(word);
    if (ino == 0 || fs_istat(ino, st) != 0) {
        fs_perror(word);
        return 0;
    }
    return ino;
}
