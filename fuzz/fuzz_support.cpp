// Shared pieces of the fuzz targets: scratch space, sink, tree removal, checksum fix-ups, library reset.
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/byteorder.h"
#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "volume/volume.h"

namespace fuzz {

namespace {

void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

std::string& scratch_path()
{
    static std::string path;
    return path;
}

void remove_scratch()
{
    if (!scratch_path().empty())
        remove_tree(scratch_path());
}

}  // namespace

const std::string& scratch()
{
    std::string& path = scratch_path();
    if (!path.empty())
        return path;
    const char* chosen = std::getenv("EFSH_FUZZ_SCRATCH");
    std::string base = chosen && *chosen ? chosen : "/dev/shm";
    struct stat st;
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string templ = base + "/efsh-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    path = buf.data();
    std::atexit(remove_scratch);
    return path;
}

FILE* sink()
{
    static FILE* f = std::fopen("/dev/null", "w");
    if (!f)
        std::abort();
    return f;
}

bool write_file(const std::string& path, const uint8_t* data, size_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

bool remove_tree(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return true;
    if (S_ISDIR(st.st_mode)) {
        // A directory the copy made without write or search permission could not be emptied.
        ::chmod(path.c_str(), 0700);
        for (const std::string& name : list_dir(path))
            remove_tree(path + "/" + name);
        return ::rmdir(path.c_str()) == 0;
    }
    return ::unlink(path.c_str()) == 0;
}

std::vector<std::string> list_dir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void fix_volume_checksum(uint8_t* header)
{
    uint32_t sum = 0;
    for (int i = 0; i < 127; ++i)
        if (i != 126)
            sum += load_be32(header + 4 * i);
    store_be32(header + 504, 0u - sum);
}

void fix_checksums(uint8_t* image, size_t size)
{
    if (size < BLOCK_SIZE)
        return;
    for (int i = 0; i < VH_PARTITIONS; ++i) {
        int64_t first = load_be32s(image + 312 + 12 * i + 4);
        int64_t at = (first + 1) * BLOCK_SIZE;
        if (at < 0 || static_cast<uint64_t>(at) + BLOCK_SIZE > size)
            continue;
        store_be32(image + at + 88, superblock_checksum(image + at));
    }
    fix_volume_checksum(image);
}

disk* open_image(const uint8_t* data, size_t size, const char* name, std::vector<uint8_t>* image)
{
    if (size < BLOCK_SIZE || size > (1u << 20))
        return nullptr;
    image->assign(data, data + size);
    fix_checksums(image->data(), image->size());
    const std::string path = scratch() + "/" + name;
    if (!write_file(path, image->data(), image->size()))
        std::abort();
    return disk_open(path.c_str());
}

quiet::quiet() : saved_out(stdout), saved_err(stderr)
{
    std::fflush(stdout);
    std::fflush(stderr);
    stdout = sink();
    stderr = sink();
}

quiet::~quiet()
{
    std::fflush(sink());
    stdout = saved_out;
    stderr = saved_err;
}

int reset_library()
{
    int busy = 0;
    for (fs_file& s : stream_table) {
        if (s.fs) {
            fs_fclose(&s);
            ++busy;
        }
    }
    for (fs& f : mount_table) {
        if (f.handle) {
            fs_umount(&f);
            ++busy;
        }
    }
    for (disk& d : disk_table) {
        if (d.handle) {
            disk_close(&d);
            ++busy;
        }
    }
    return busy;
}

}  // namespace fuzz
