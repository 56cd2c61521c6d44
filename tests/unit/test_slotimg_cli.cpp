// slotimg, run in-process on real files.
#include "slotimg/slotimg_cli.hpp"

#include <numeric>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
struct ToolRun {
    int status;
    std::string out, err;
};

class SlotimgCli : public testing::Test {
protected:
    void SetUp() override {
        s_ = unit::read_text(
            create("s", std::string(40, '3'), {"--type=rootfs", "--version=1.0.0.0"}));
        ASSERT_EQ(s_.size(), 56u);  // crc 0xC38AC8EE
    }
    std::string path(const std::string& name) const { return dir_.file(name); }
    std::string write(const std::string& name, const std::string& data) const {
        unit::write_file(path(name), data);
        return path(name);
    }
    std::string read(const std::string& name) const { return unit::read_text(path(name)); }
    // NAME.img made from the payload NAME.bin.
    std::string create(const std::string& name, const std::string& payload,
                       std::vector<std::string> options) const {
        options.insert(options.begin(), {"create", "--version=1.2.3.4",
                                         write(name + ".bin", payload), "-o", path(name + ".img")});
        EXPECT_EQ(slotimg(options).status, 0) << name;
        return path(name + ".img");
    }
    ToolRun slotimg(std::vector<std::string> args) const {
        std::vector<const char*> argv{"slotimg"};
        for (const auto& a : args) argv.push_back(a.c_str());
        UniqueFile out(std::tmpfile()), err(std::tmpfile());
        const int status = run_slotimg(int(argv.size()), argv.data(), out.get(), err.get());
        return {status, unit::read_text(unit::path_of(out.get())),
                unit::read_text(unit::path_of(err.get()))};
    }

    unit::TempDir dir_;
    std::string s_;
};

TEST_F(SlotimgCli, CreateBundleInfoVerifyExtract) {
    std::string app(70000, 0), boot(4096, '\xEE');
    std::iota(app.begin(), app.end(), '\7');
    const std::string b = path("b.img");
    const std::string k = create("k", std::string(1000, 'k'), {"--type", "kernel"});
    const std::string a = create(
        "a", app,
        {"--type=application", "--version", "2.0.0.7", "--layout", "3", "--header-length", "32"});
    const std::string u =
        create("u", boot,
               {"--type", "bootloader", "--version=3.1.0.255", "--layout", "2", "--embed-header"});
    ASSERT_EQ(slotimg({"bundle", "-o", b, k, a, u}).status, 0);

    const ToolRun info = slotimg({"info", b});
    EXPECT_EQ(info.status, 0);
    for (const char* line :
         {": 3 sub-images in 75168 bytes\n", "\nresult: sound\n",
          "1   1016       application  2.0.0.7         3      32     70000      70032",
          "2   71048      bootloader   3.1.0.255       2      24     4096       4120"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << " in\n" << info.out;
    EXPECT_EQ(slotimg({"verify", b}).out, b + ": 3 sub-images, all sound\n");

    ASSERT_EQ(slotimg({"extract", b, "--index", "0", "-o", path("x")}).status, 0);
    EXPECT_EQ(read("x"), unit::read_text(k));
    ASSERT_EQ(slotimg({"extract", b, "--index", "1", "-o", path("x"), "--payload"}).status, 0);
    EXPECT_TRUE(read("x") == app);
    // The boot loader's payload carries its header, CRC word 0, at byte 240.
    boot.replace(240, 16, std::string(4, '\0') + read("u.img").substr(4, 12));
    ASSERT_EQ(slotimg({"extract", b, "--index", "2", "-o", path("x"), "--payload"}).status, 0);
    EXPECT_TRUE(read("x") == boot);
}

TEST_F(SlotimgCli, VerifySaysWhatIsWrong) {
    const auto flip = [&](std::size_t at) {
        std::string b = s_ + s_;
        b[at] ^= 0x10;
        return b;
    };
    const std::string at0 = "sub-image #0 at offset 0: ";
    const struct {
        std::string file, line;
    } cases[] = {
        {flip(0),
         at0 +
             "crc mismatch (stored 0xD38AC8EE, computed 0xC38AC8EE)"},  // the CRC word is not covered
        {flip(4), at0 + "cut short by the end of the file (T 268435512, 112 bytes remain)"},
        {s_ + s_.substr(0, 4) + "\xFF\xFF\xFF\xFF" + s_.substr(8),  // 16 + len wraps
         "sub-image #1 at offset 56: invalid header lengths (layout 1, len 4294967295, H 16)"},
        {"", "no sub-image found"},
        {s_ + "junk!", "trailing 5 bytes at offset 56 hold no sub-image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ToolRun r = slotimg({"verify", write("bad.img", c.file)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, path("bad.img") + ": " + c.line + "\n");
    }
}

// Help wins over anything; a failure: one line on stderr, no output file.
TEST_F(SlotimgCli, ErrorsTakeOneLine) {
    const ToolRun help = slotimg({"extract", "x.img", "--bogus", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: slotimg extract")) << help.out;
    const std::string k = path("s.bin"), o = path("o"), t = "--type=kernel",
                      v = "--version=1.2.3.4";
    const struct {
        std::vector<std::string> args;
        const char* says;
    } errors[] = {
        {{"create", t, v, "--layout=2", "--header-length=20", k, "-o", o}, "24..65535"},
        {{"create", t, v, write("hdr3.bin", "HDR3\1\2\3\4\5\6"), "-o", o}, "HDR3"},
        {{"bundle", "-o", o, path("s.img"), write("junk.img", s_ + "\1\2\3")},
         "trailing 3 bytes at offset 56"},
        {{"extract", path("s.img"), "--index", "1", "-o", o}, "holds 1 sub-image; there is no #1"},
    };
    for (const auto& c : errors) {
        SCOPED_TRACE(c.says);
        const ToolRun r = slotimg(c.args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("slotimg")) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_FALSE(fs::exists(o));
    }
}

// The boot loader's installed header is its copy at byte 240, crc word aside; usage errors exit 2.
TEST_F(SlotimgCli, PlanDecidesWithWhatTheSwitchHolds) {
    const std::string sw = path("sw");
    fs::create_directories(sw + "/flash");
    fs::create_directories(sw + "/root/user/images");
    for (const char* name : {"uboot", "ubootenv", "devicetree", "rfs", "rescue"})
        write("sw/flash/" + std::string(name) + ".bin", std::string(0x1000, '\xFF'));
    write("sw/flash/kernel.bin", std::string(0x1000 - 1, '\xFF'));  // one byte short of the kernel
    const std::string kernel = create("k", std::string(0x1000 - 16, 'k'), {"--type=kernel"});
    const std::string app = create("a", std::string(300, 'a'), {"--type=application"});
    const std::string boot =
        create("u", std::string(300, 'u'), {"--type=bootloader", "--embed-header"});
    const std::string unknown = create("x", std::string(30, 'x'), {"--type=0x7F4F5249"});
    write("sw/flash/uboot.bin", read("u.img").substr(16));  // the payload, with its header copy
    write("sw/root/user/images/image2", read("a.img"));
    const std::string same =
        "skip as same version: \"Image has same version as existing image. Skipping update...\"";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } rows[] = {
        {{"plan", kernel, "--switch", sw},
         1,
         "4096/3145728     good      refuse and stop: \"Flash Write range past end of partition. | "
         "kernel image update failed\"\n"},
        {{"plan", boot, "--switch", sw}, 0, "install (same version as installed)\n"},
        {{"plan", boot, "--switch", sw, "--skip-same-version"}, 1, same + "\ninstalls: nothing\n"},
        {{"plan", app, "--switch", sw, "--slot=2", "--skip-same-version"},
         1,
         "application slot 2           316/-            good      skip as same version: "
         "\"Image2 has same version as existing image. Skipping update...\""},
        {{"plan", app, "--switch", sw, "--slot=1", "--skip-same-version"}, 0, "install\n"},
        {{"plan", app, "--slot=3"}, 2, "bad slot '3'"},
        {{"plan", app, "--switch", dir_.dir},
         2,
         "is not a switch-sim directory: no " + dir_.dir + "/flash/uboot.bin"},
    };
    for (const auto& row : rows) {
        const ToolRun r = slotimg(row.args);
        EXPECT_EQ(r.status, row.status) << row.says << "\n" << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << row.says << "\nnot in\n"
                                                                     << r.out << r.err;
    }

    const ToolRun warned = slotimg({"bundle", "-o", path("w.img"), unknown, app});
    EXPECT_EQ(warned.status, 0);
    EXPECT_EQ(warned.err,
              "slotimg bundle: warning: " + path("w.img") +
                  " would not install whole: sub-image #0 (0x7F4F5249) is skipped: unknown type\n");
    const ToolRun strict = slotimg({"bundle", "--strict", "-o", path("strict.img"), app, unknown});
    EXPECT_EQ(strict.status, 1);
    EXPECT_TRUE(fs::exists(path("w.img")));
    EXPECT_FALSE(fs::exists(path("strict.img")));
}

}  // namespace
