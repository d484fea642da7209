// Host layer: everything efsh asks of the host system, behind one interface. host_posix.cpp
// implements it over POSIX.1-2008, host_win32.cpp over the Win32 API and Microsoft's C library;
// the build picks one. No other code names a host call beyond standard C streams.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct host_file;

// --- The image: raw, read-only, random access -------------------------------------------------

// Opens an existing file or device read-only (never creates it), sharing it with other readers
// and writers. Null on failure, with errno set to the C library's code for the reason.
host_file* host_open(const char* path);

// Seeks to offset and reads exactly len bytes: 0 on success, 1 when the seek fails,
// 2 when the read fails or comes back short.
int host_read_at(host_file* f, int64_t offset, void* buf, size_t len);

// Reads the bytes from offset into the pieces in turn, as host_read_at reads into one buffer
// (the same results): raw CD sectors go straight to where their parts belong, without a copy.
struct host_piece {
    void* buf;
    size_t len;
};
int host_read_pieces(host_file* f, int64_t offset, const host_piece* pieces, int count);

// How the reads to come will go: a file's data read from start to end (true), which the host may
// read ahead of, or jumps between metadata (false, as after opening). A hint only.
void host_read_in_order(host_file* f, bool in_order);

// The image's POSIX file descriptor, for a front end that lets the host's kernel move the image's
// bytes itself (efsh-mount's replies); -1 on a host without one. Only ever read from.
int host_file_descriptor(const host_file* f);

// The file's length in bytes (a device's too, where the host tells it); -1 when it cannot be had.
int64_t host_file_size(host_file* f);

// Closes the file and releases the handle; true when the host closed it.
bool host_close(host_file* f);

// --- The pager pipe ----------------------------------------------------------------------------

// Starts a command through the host's command interpreter with a pipe to its standard input,
// in binary mode: the bytes reach it unchanged.
FILE* host_popen_write(const char* command);

// The pager to start: "less" when the host finds one on its PATH (Windows: with an extension of
// PATHEXT), else the host's own "more", with *missing a line (no newline) saying what was not found
// and where to get it; *missing is null when less was found.
const char* host_pager(const char** missing);

// Closes the pipe and waits for the command to end.
int host_pclose(FILE* pipe);

// Makes writes into a pipe whose reader has gone fail instead of ending the process.
void host_ignore_sigpipe();

// --- Host directories and names ----------------------------------------------------------------

// The host working directory into buf (size bytes with its NUL); false (errno set) when it
// cannot be had or does not fit.
bool host_getcwd(char* buf, size_t size);

// Changes the host working directory; 0, or -1 with errno set.
int host_chdir(const char* path);

// The host working directory kept to come back to exactly, wherever the way in led (a directory
// entered through a symbolic link has another ".."). Null (errno set) when it cannot be kept.
struct host_place;
host_place* host_here();

// Goes back to a kept working directory and lets it go; 0, or -1 with errno set.
int host_go_back(host_place* p);

// Which host file or directory a path names, following links: two names with equal ids are one
// object (on a file system that ignores case, "README" and "readme"). False when nothing is
// there or the host cannot tell.
struct host_id {
    uint64_t volume;
    uint64_t object;
    bool operator==(const host_id&) const = default;
};
bool host_id_of(const char* path, host_id* id);

// What a host path names: -1 nothing (or it cannot be examined), 0 something other than a directory, 1 a directory.
int host_path_kind(const char* path);

// True when name, taken from an image, is exactly one valid file name in a host directory:
// never empty, ".", "..", a path, or a name the host would read as something else.
bool host_name_ok(const char* name);

// --- Dates -------------------------------------------------------------------------------------

// Reads the host's time zone settings once; host_localtime then converts without looking again.
void host_tzset();

// Local broken-down time of seconds since the epoch (negative ones included); false when the
// host cannot convert it.
bool host_localtime(int64_t seconds, std::tm* out);

// --- Host files made by cp ---------------------------------------------------------------------

struct host_out;

// How host_create treats what is at the path already.
enum host_make : unsigned {
    // A target the user named: a final symbolic link is followed (the user chose it), and a device
    // or pipe is written to as it is (cp f /dev/null). Only the image being read is refused.
    HOST_NAMED = 0,
    // A name a copy made inside its target (every entry of cp -r): only a new file or a regular one
    // is opened, never through a final symbolic link, never a pipe, device or socket; the open
    // never blocks.
    HOST_IN_TREE = 1,
    // Never opens a file that is there already (errno EEXIST; on a host that ignores case the name
    // in another case is there too). With HOST_IN_TREE.
    HOST_ONLY_NEW = 2,
};

// Why host_create made nothing: HOST_ERRNO (errno tells), HOST_IS_IMAGE (the path leads to a file
// open as an image, by whatever name, or to what shares storage with one: a loop device over it,
// a disk or partition it lies on or that lies on it, a file system on any of those; nothing was
// touched, nothing made) or HOST_NOT_A_FILE (HOST_IN_TREE found
// a link, pipe, device, socket or directory there: nothing was touched).
enum host_refusal { HOST_ERRNO = 0, HOST_IS_IMAGE = 1, HOST_NOT_A_FILE = 2 };

// Creates a host file for writing, or opens one that is there, in binary mode; what was there is
// cut to nothing only once it is known to be neither the image nor (HOST_IN_TREE) anything but a
// regular file. A regular file of more than one name (a hard link) is never written through: its
// name is given a new file, and the other names keep their bytes. Null on failure, *why (may be
// null) saying why.
host_out* host_create(const char* path, unsigned how, host_refusal* why = nullptr);

// Writes len bytes; returns the count written, which is less than len (errno set) only on failure.
size_t host_write(host_out* o, const void* buf, size_t len);

// The file is about to receive bytes more bytes: where the host sets space aside without writing
// it (Linux's fallocate on disk file systems; ext4 takes a new 200 MB file a quarter faster), it
// does so now. Neither the file's size nor its contents change; space the file has not filled
// by host_close_out is given back then. A hint only: nothing is reported, nothing may depend on it.
void host_reserve(host_out* o, uint64_t bytes);

// Puts len bytes of the image from offset onto the end of o by sharing the image's blocks with the
// file, where the file system can (Linux's FICLONERANGE on XFS, btrfs and the like: no byte is
// copied), or else, where host_copies_in_kernel says so, by a copy inside the kernel. All or
// nothing: returns len when every byte is in the file; otherwise -1, with o as it was before the
// call, and the caller reads and writes the bytes itself. A host or file system that can do
// neither always returns -1; so does one that refused once for this file.
int64_t host_copy_range(host_out* o, host_file* from, int64_t offset, size_t len);

// Whether host_copy_range could share len bytes from offset once `pending` more bytes have been
// written: the host has not refused this file, and both ends fall on its blocks.
bool host_can_share(host_out* o, int64_t offset, size_t len, size_t pending);

// Whether host_copy_range takes any range into o by copying it inside the kernel, one copy where
// reading and writing make two (Linux: o a regular file on tmpfs; false again once the kernel has
// refused, as it does for an image on another file system).
bool host_copies_in_kernel(host_out* o);

// The id of the file being written (as host_id_of gives it); false when the host cannot tell.
bool host_out_id(host_out* o, host_id* id);

// Sets the permission bits (mode & 0777, without the umask) and the access and modification times
// (whole seconds) of the file being written, through the open file, never a path; what the copy
// set aside and did not fill is given back first, so no later call changes the times. A host
// without such bits does what it can (Windows: a file without the owner's write bit becomes
// read-only). A device or pipe keeps its own (0). 0, or -1 with errno set.
int host_out_set_perm(host_out* o, unsigned mode, int64_t atime, int64_t mtime);

// Closes the file; 0, or -1 with errno set (a failed close can mean lost data).
int host_close_out(host_out* o);

// Whether the file being written is a regular file (one host_create made or cut to nothing), which
// host_discard_out removes; false for a device, pipe or anything else.
bool host_out_regular(const host_out* o);

// Closes the file and removes it when it is a regular file (one host_create made or cut to nothing:
// an archive left incomplete by a failed write); a device, pipe or anything else is only closed.
// 0, or -1 with errno set.
int host_discard_out(host_out* o, const char* path);

// --- Host files written whole or not at all ---------------------------------------------------

// What a target path names, for a writer that replaces a file only once the new one is complete:
// HOST_TARGET_NEW nothing yet, HOST_TARGET_FILE a regular file (not through a symbolic link),
// HOST_TARGET_IMAGE a file open as an image (by whatever name), HOST_TARGET_OTHER anything else
// (a device, a pipe, a symbolic link, a directory), which is written as it is or refused by
// host_create.
enum host_target { HOST_TARGET_NEW, HOST_TARGET_FILE, HOST_TARGET_IMAGE, HOST_TARGET_OTHER };
host_target host_target_kind(const char* path);

// A new file in the folder of target to write instead of it, made by host_create (a name nothing
// takes yet, never opened through a link): *temp gets its name. Null (errno set) when none can be
// made there.
host_out* host_create_beside(const char* target, char* temp, size_t temp_size, host_refusal* why);

// Makes the file written whole: its bytes flushed to the disk, closed, renamed over target and
// the folder's entry flushed too (POSIX: fsync, rename, fsync of the folder; Windows:
// FlushFileBuffers, MoveFileExW writing through). 0 when target is the new file. On failure, and
// when a stop was asked (host_stop_asked) before the rename, the file is removed and target is as
// it was: -1 with errno set (EINTR for a stop).
int host_commit_out(host_out* o, const char* temp, const char* target);

// Makes host directory `name` in the current host directory (or takes one there already) and
// enters it, only when it is a real directory: 0 with *id its id; -1 with errno set (it cannot be
// made or entered: a file there is ENOTDIR, one to be made in a file system that shares storage
// with an open image EROFS); 1 when a symbolic link (or, on Windows, any reparse
// point) is there, which is never followed (nothing touched).
int host_enter_dir(const char* name, host_id* id);

// Sets mode and times (as host_out_set_perm) of directory `name` in the current host directory,
// only while it is still the directory with the given id and not a link. 0, or -1 with errno set.
int host_set_dir_perm(const char* name, const host_id& id, unsigned mode, int64_t atime, int64_t mtime);

// --- Stops asked from outside ----------------------------------------------------------------

// What asked efsh to stop: nothing, an interrupt (SIGINT; the Windows console's Ctrl-C and
// Ctrl-Break) or a request to end (SIGTERM, SIGHUP; the console window closed, the user logging
// off or the system shutting down).
enum host_stop { HOST_NO_STOP = 0, HOST_STOP_INTERRUPT = 1, HOST_STOP_END = 2 };

// From now on a stop only sets a flag, which long work polls between the blocks it reads or writes
// (host_stop_asked) so that it can put things back before it stops; a blocked read or write comes
// back (EINTR) rather than go on waiting. A second stop asked before the first was taken
// (host_take_stop) ends the process at once, with status 128 + the signal's number. An interrupt
// ignored when efsh started (a job in the background) stays ignored, and one while the pager of
// host_popen_write runs is the pager's. POSIX: handlers of SIGINT, SIGTERM and SIGHUP without
// SA_RESTART; Windows: a console control handler (SetConsoleCtrlHandler), which the console calls
// on a thread of its own, for Ctrl-C, Ctrl-Break, the window closed, logoff and shutdown (after the
// last three Windows ends the process a few seconds later whatever it does).
void host_catch_stops();

// What has been asked and not yet taken (HOST_NO_STOP: nothing). One load of a flag: cheap enough
// for every block.
host_stop host_stop_asked();

// What has been asked, after a read of `in` came back with nothing: at a Windows console Ctrl-C
// ends the read before the console has told its handler (on a thread of its own), which is waited
// for a moment here. Elsewhere host_stop_asked().
host_stop host_stop_after_read(FILE* in);

// Takes what was asked, clearing the flag; *signal (may be null) the signal's number (Windows:
// SIGINT for Ctrl-C and Ctrl-Break, SIGTERM for the others).
host_stop host_take_stop(int* signal = nullptr);

// A test hook: when the environment holds EFSH_TEST_HOLD=<place>:<n>:<file>, every n-th call for
// <place> makes the (empty) <file> and waits until a stop is asked (at most a minute), so that a
// test stops efsh at exactly that point, without guessing at times; a <file> of "!<signal>" raises
// that signal there instead. Places: "block" (each run of a file copied or archived), "rename"
// (a file written whole, flushed, before it takes its name). Does nothing otherwise.
void host_test_hold(const char* place);

// Puts a standard stream into binary mode (true: bytes go out unchanged, no CR before LF where the
// host's text mode adds one) or back into its usual mode; flushed first by the caller.
void host_binary_output(FILE* stream, bool binary);

// --- Digests of file data (manifest) ---------------------------------------------------------

// The algorithms, from the host's own well-kept implementation: OpenSSL's libcrypto on POSIX
// hosts (optional at configure), the system's CNG on Windows.
enum host_digest_kind { HOST_MD5 = 0, HOST_SHA1 = 1, HOST_SHA256 = 2, HOST_SHA512 = 3, HOST_DIGEST_KINDS = 4 };
constexpr size_t HOST_DIGEST_MAX = 64;  // bytes of the longest digest (SHA-512)

// True when this build can compute digests at all.
bool host_digests_available();

struct host_digest;

// A digest being computed; null (errno set) when the host cannot give one.
host_digest* host_digest_open(host_digest_kind kind);

// Adds len bytes to the message.
void host_digest_add(host_digest* d, const void* bytes, size_t len);

// Ends the message: its digest into out (room for HOST_DIGEST_MAX bytes) and its length, 0 when
// the host failed; d then starts a new, empty message.
size_t host_digest_end(host_digest* d, uint8_t* out);

void host_digest_close(host_digest* d);

// --- Work on a second core ---------------------------------------------------------------------

struct host_thread;

// Runs fn(arg) on a thread of its own; null when the host cannot start one (the caller then runs
// fn itself).
host_thread* host_thread_start(void (*fn)(void*), void* arg);

// Waits for the thread to end and releases it.
void host_thread_join(host_thread* t);

// --- Terminal and host directory listings (line editing) --------------------------------------

// True when the stream is connected to a terminal (a console on Windows).
bool host_is_terminal(FILE* stream);

// The width in columns of the terminal (console window) the stream writes to; 0 when unknown.
int host_terminal_width(FILE* stream);

struct host_dir;

// Opens a host directory for listing; null (errno set) when it cannot be read.
host_dir* host_opendir(const char* path);

// The next entry's name, "." and ".." left out; null at the end. *is_dir tells a directory
// (following symbolic links). The name stays valid until the next call.
const char* host_readdir(host_dir* d, bool* is_dir);

void host_closedir(host_dir* d);
