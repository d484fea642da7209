// Unit-test fixture: builds an image, opens and mounts it, and tears everything down again.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

#include "efs/efs_file.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "tests/support/image_builder.h"
#include "volume/volume.h"

class Mounted : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (fs_file& s : stream_table)
            if (s.fs)
                fs_fclose(&s);
        for (fs& f : mount_table)
            if (f.handle)
                fs_umount(&f);
        for (disk& d : disk_table)
            if (d.handle)
                disk_close(&d);
        if (!path.empty())
            std::remove(path.c_str());
    }

    // Writes the image and mounts partition 7; returns the builder's layout.
    imgb::Result mount(const imgb::Disk& d)
    {
        char buf[] = "/tmp/efsh-unit-XXXXXX";
        int fd = mkstemp(buf);
        if (fd >= 0)
            close(fd);
        path = buf;
        imgb::Result r = imgb::write_image(d, path);
        EXPECT_TRUE(r.ok) << r.error;
        dsk = disk_open(path.c_str());
        EXPECT_NE(dsk, nullptr);
        if (dsk)
            f = fs_mount(dsk, 7, 0);
        EXPECT_NE(f, nullptr);
        return r;
    }
    imgb::Result mount(std::vector<imgb::Node> children) { return mount(imgb::simple_disk(std::move(children))); }

    // Reads a whole file through a stream in pieces of `chunk` bytes.
    std::string read_all(const char* p, uint32_t chunk = 512, uint32_t* osize = nullptr)
    {
        fs_file* s = fs_fopen(p, "rb");
        if (!s)
            return "<open failed>";
        std::string out;
        std::string buf(chunk, '\0');
        uint32_t n;
        while ((n = fs_fread(buf.data(), 1, chunk, s)) != 0)
            out.append(buf.data(), n);
        if (osize)
            *osize = s->osize;
        fs_fclose(s);
        return out;
    }

    // The names a directory stream gives (at most `limit`), and the stream closed.
    static std::vector<std::string> names_of(fs_dir* d, size_t limit = 100000)
    {
        std::vector<std::string> got;
        EXPECT_NE(d, nullptr);
        while (d && got.size() < limit)
            if (fs_dirent* e = fs_readdir(d))
                got.push_back(e->d_name);
            else
                break;
        if (d)
            fs_closedir(d);
        return got;
    }

    // Reads a whole file run by run, as more does, or with `copy` into a host file, as cp does
    // (shared by the host where it can); returns the bytes delivered.
    std::string read_runs(const char* p, uint32_t* osize, bool copy = false)
    {
        fs_file* s = fs_fopen(p, "rb");
        if (!s)
            return "<open failed>";
        std::string out, copy_path = path + ".copy";
        host_out* o = copy ? host_create(copy_path.c_str(), HOST_NAMED) : nullptr;
        fs_run r;
        while (fs_next_run(s, &r)) {
            fs_run whole = r;
            fs_join_run(s, &whole);
            if (o && fs_copy_run(s, &whole, o))
                continue;
            const uint8_t* bytes = fs_read_run(s, &r, nullptr);
            if (!bytes)
                break;
            if (o)
                EXPECT_EQ(host_write(o, bytes, r.bytes), r.bytes);
            else
                out.append(reinterpret_cast<const char*>(bytes), r.bytes);
        }
        *osize = s->osize;
        fs_fclose(s);
        if (o) {
            EXPECT_EQ(host_close_out(o), 0);
            std::ifstream in(copy_path, std::ios::binary);
            out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            std::remove(copy_path.c_str());
        }
        return out;
    }

    std::string path;
    disk* dsk = nullptr;
    fs* f = nullptr;
};
