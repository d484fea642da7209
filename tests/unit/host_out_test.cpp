// Host files made by cp: writes and blocks shared with the image, all or nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "host/host_io.h"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// On a disk, and in memory (/dev/shm, where Linux copies inside the kernel).
TEST(HostOut, CopiesFromTheImageAllOrNothing)
{
    for (std::filesystem::path base : {std::filesystem::temp_directory_path(), std::filesystem::path("/dev/shm")}) {
        if (!std::filesystem::is_directory(base))
            continue;
        SCOPED_TRACE(base);
        const std::string dir = (base / "efsh-host-out").string();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        std::string image(10000, '\0');
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<char>('a' + i % 23);
        std::ofstream(dir + "/image", std::ios::binary) << image;

        host_file* in = host_open((dir + "/image").c_str());
        ASSERT_NE(in, nullptr);
        host_out* out = host_create((dir + "/copy").c_str(), HOST_NAMED);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(host_write(out, "head", 4), 4u);
        // A copy the host makes moves every byte; a refused one moves none, and the caller writes them.
        // A host that copies inside the kernel takes any range of the image.
        bool in_kernel = host_copies_in_kernel(out);
        auto copy = [&](int64_t offset, size_t len) {
            int64_t n = host_copy_range(out, in, offset, len);
            EXPECT_TRUE(n != -1 || !in_kernel);
            if (n == -1)
                EXPECT_EQ(host_write(out, image.data() + offset, len), len);
            else
                EXPECT_EQ(n, static_cast<int64_t>(len));
        };
        copy(512, 3000);
        copy(7000, 3000);
        // Running past the end of the image copies nothing at all, not the bytes up to the end.
        EXPECT_EQ(host_copy_range(out, in, 9000, 2000), -1);
        EXPECT_EQ(host_copy_range(out, in, 20000, 512), -1);
        EXPECT_EQ(host_close_out(out), 0);
        EXPECT_TRUE(host_close(in));
        EXPECT_TRUE(slurp(dir + "/copy") == "head" + image.substr(512, 3000) + image.substr(7000, 3000));
        std::filesystem::remove_all(dir);
    }
}

// Space set aside for a file is a hint: the file holds what was written, and a copy that ended
// early gives back the space it did not fill (on a host that sets none aside this holds trivially).
TEST(HostOut, SpaceSetAsideAndNotFilledIsGivenBack)
{
    const std::string dir = (std::filesystem::temp_directory_path() / "efsh-host-reserve").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    const std::string piece(100000, 'r');
    for (uint64_t reserve : {uint64_t{100000}, uint64_t{64} << 20}) {
        const std::string path = dir + "/f" + std::to_string(reserve);
        host_out* out = host_create(path.c_str(), HOST_NAMED);
        ASSERT_NE(out, nullptr);
        host_reserve(out, reserve);
        EXPECT_EQ(host_write(out, piece.data(), piece.size()), piece.size());
        EXPECT_EQ(host_close_out(out), 0);
        EXPECT_TRUE(slurp(path) == piece);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20) << path;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

// A reservation the host refuses part way (a full disk: ext4 keeps what it had allocated when it
// ran out) is given back at once, not at the close, so that the next copy still finds the space.
// Needs a small file system of its own: root mounts one on a loop device, otherwise it is skipped.
TEST(HostOut, RefusedReservationIsGivenBackAtOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const std::string dir = (std::filesystem::temp_directory_path() / "efsh-host-full").string();
    const std::string fs = dir + ".ext4", mnt = dir;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    std::filesystem::remove(fs);
    std::string make = "truncate -s 48M " + fs + " && mkfs.ext4 -q -F " + fs + " >/dev/null 2>&1 && mount -o loop " +
                       fs + " " + mnt + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::filesystem::remove_all(dir);
        std::filesystem::remove(fs);
        GTEST_SKIP() << "no loop mount of an ext4 image here";
    }
    auto free_bytes = [&] {
        struct statvfs v;
        return ::statvfs(mnt.c_str(), &v) == 0 ? uint64_t{v.f_bavail} * v.f_frsize : 0;
    };
    uint64_t before = free_bytes();
    const std::string path = mnt + "/claims-2GiB";
    host_out* out = host_create(path.c_str(), HOST_NAMED);
    ASSERT_NE(out, nullptr);
    host_reserve(out, uint64_t{2} << 30);  // a damaged image's size: more than the disk holds
    uint64_t during = free_bytes();
    EXPECT_EQ(host_write(out, "short", 5), 5u);
    EXPECT_EQ(host_close_out(out), 0);
    EXPECT_GE(during + (1u << 20), before) << "kept after the refusal";
    EXPECT_GE(free_bytes() + (1u << 20), before);
    EXPECT_EQ(slurp(path), "short");
    EXPECT_EQ(std::system(("umount " + mnt).c_str()), 0);
    std::filesystem::remove_all(dir);
    std::filesystem::remove(fs);
}
