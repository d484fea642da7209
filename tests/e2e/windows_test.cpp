// End-to-end cases only the Windows build meets: image names that are no file name there.
#include <gtest/gtest.h>

#include <filesystem>

#include "run_efsh.h"
#include "tests/support/image_builder.h"

namespace {

TEST(Windows, NamesWindowsReadsAsSomethingElseAreNotCopied)
{
    if (!efsh_under_wine())
        GTEST_SKIP() << "only the Windows build under wine (EFSH_WINE) refuses these names";
    std::string dir = make_scratch_dir();
    run_options opt;
    use_stand_in_less(dir, opt);
    const std::vector<std::string> bad = {"CON", "nul", "Aux.txt", "com1", "LPT9.log", "prn .c", "a\\b", "c:d",
                                          "e<f", "g>h", "i\"j", "k|l", "m?n", "o*p", "tab\tx", "dot.", "blank "};
    // Names Windows takes for one file or directory: the later would overwrite the earlier's copy.
    std::vector<imgb::Node> kids = {imgb::file("ok", "ok"), imgb::file("con1", "c"), imgb::file("com10", "c"),
                                    imgb::file("Same", "1"), imgb::file("sAME", "22"),
                                    imgb::dir("Sub", {imgb::file("f", "f")}), imgb::dir("sub", {imgb::file("g", "g")})};
    for (const std::string& n : bad)
        kids.push_back(imgb::file(n, "x"));
    std::string img = dir + "/disk.img";
    imgb::Result built = imgb::write_image(imgb::simple_disk({imgb::dir("d", kids), imgb::file("AUX", "a")}), img);
    ASSERT_TRUE(built.ok) << built.error;
    std::filesystem::create_directory(dir + "/T");
    run_result r = run_efsh({"-p", "7", img}, "cp -r d T\ncp -r AUX T\n", opt);
    std::string expected = "//d/sAME not copied\n//d/sub not copied\n";
    for (const std::string& n : bad)
        expected += "//d/" + n + " not copied\n";
    EXPECT_EQ(r.err, expected + "AUX not copied\n-r makes no sense here\n");
    EXPECT_EQ(host_tree(dir + "/T"), (std::vector<std::string>{"d/", "d/Same:1", "d/Sub/", "d/Sub/f:1", "d/com10:1",
                                                                "d/con1:1", "d/ok:2"}));
    EXPECT_EQ(r.out, prompts_of(img, 3));
    remove_tree(dir);
}

}  // namespace
