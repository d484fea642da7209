// The prompt loop: reading lines, splitting them into words and running the commands.
#include <cerrno>
#include <cstring>
#include <string>

#include "common/report.h"
#include "common/tokens.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/line_edit.h"
#include "shell/progress.h"
#include "shell/shell.h"

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

}  // namespace

void prompt_loop(FILE* in, const char* image, int partition)
{
    char line[LINE_BUF];
    char* words[MAX_WORDS + 1];
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
            if (!std::fgets(line, sizeof line, in) || std::feof(in) || std::ferror(in))
                break;
        }
        size_t len = std::strlen(line);
        if (len > 0)
            line[len - 1] = '\0';
        bool escape = line[0] == '!';
        int n = split(escape ? line + 1 : line, words);
        if (n == 0)
            continue;
        if (escape) {
            std::fprintf(stderr, "sorry '!' feature not supported on this system\n");
            continue;
        }
        const char* cmd = words[0];
        if (std::strcmp(cmd, "ls") == 0) {
            do_ls(".", words[1]);
        } else if (std::strcmp(cmd, "bye") == 0) {
            break;
        } else if (std::strcmp(cmd, "debug") == 0) {
            debug = !debug;
            std::fprintf(stderr, debug ? "debug on\n" : "debug off\n");
        } else if (std::strcmp(cmd, "pwd") == 0) {
            char cwd[PATH_BUF];
            fs_getcwd(cwd);
            std::fprintf(stderr, "%s\n", cwd);
        } else if (std::strcmp(cmd, "lcd") == 0) {
            if (!words[1])
                std::fprintf(stderr, "use: lcd path\n");
            else if (host_chdir(words[1]) != 0)
                report_errno(words[1]);
        } else if (std::strcmp(cmd, "cd") == 0) {
            if (!words[1])
                std::fprintf(stderr, "use: cd path\n");
            else if (fs_chdir(words[1]) == -1)
                fs_perror(words[1]);
        } else if (std::strcmp(cmd, "more") == 0) {
            if (!words[1])
                std::fprintf(stderr, "use: more file\n");
            else if (do_more(words[1]) != 0)
                fs_perror(words[1]);
        } else if (std::strcmp(cmd, "cp") == 0) {
            // errno is cleared first so that the host line names a host failure of this very copy.
            errno = 0;
            progress_begin();
            int rc = do_cp(n, words);
            progress_end();
            if (rc != 0 && errno != 0)
                report_errno(words[0]);
        } else if (std::strcmp(cmd, "tar") == 0) {
            progress_begin();
            (void)do_tar(n, words);  // every failure is reported by the command itself
            progress_end();
        } else if (std::strcmp(cmd, "manifest") == 0) {
            progress_begin();
            (void)do_manifest(n, words);  // likewise
            progress_end();
        } else {
            std::fprintf(stderr, "duh?\n");
            std::fprintf(stderr, "debug ls bye pwd lcd cd cp more !cmd\n");
        }
    }
    line_edit_close(editor);
}
