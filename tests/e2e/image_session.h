// The set-up the command tests share: a scratch directory of the test's own with the stand-in
// pager, an image disk.img built there, and efsh run on its partition 7 in that directory.
#pragma once
#include <gtest/gtest.h>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

class ImageSession : public ::testing::Test {
protected:
    void SetUp() override { start(make_scratch_dir()); }
    void TearDown() override { remove_tree(dir_); }
    void start(const std::string& scratch)
    {
        dir_ = scratch;
        use_stand_in_less(dir_, opt);
        img = dir_ + "/disk.img";
    }
    imgb::Result build(const imgb::Disk& d)
    {
        imgb::Result r = imgb::write_image(d, img);
        EXPECT_TRUE(r.ok) << r.error;
        return r;
    }
    imgb::Result build(std::vector<imgb::Node> kids) { return build(imgb::simple_disk(std::move(kids))); }
    run_result run(const std::string& input) { return run_efsh({"-p", "7", img}, input, opt); }
    std::string prompts(int n) const { return prompts_of(img, n); }

    std::string dir_, img;
    run_options opt;
};
