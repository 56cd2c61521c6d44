// Tests of the slotimg command line, run in-process on real files: the round trip
// create -> bundle -> info -> verify -> extract, what verify reports, help and errors.
#include "slotimg/slotimg_cli.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/byte_order.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct ToolRun { int status; std::string out, err; };

ToolRun slotimg(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"slotimg"};
    for (const auto& a : args) argv.push_back(a.c_str());
    std::FILE* f[2] = {std::tmpfile(), std::tmpfile()};
    ToolRun r{run_slotimg(static_cast<int>(argv.size()), argv.data(), f[0], f[1]), "", ""};
    for (int i = 0; i < 2; ++i) {
        std::string& s = i == 0 ? r.out : r.err;
        s.resize(static_cast<std::size_t>(std::ftell(f[i])));
        std::rewind(f[i]);
        s.resize(std::fread(s.data(), 1, s.size(), f[i]));
        std::fclose(f[i]);
    }
    return r;
}

Bytes read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SlotimgCli : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(::mkdtemp(dir_.data()), nullptr); }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Writes NAME.bin and makes NAME.img of it with `slotimg create OPTIONS`.
    Bytes create(const std::string& name, const Bytes& payload, std::vector<std::string> options) {
        write_file(path(name + ".bin"), payload);
        options.insert(options.begin(), "create");
        options.insert(options.end(), {path(name + ".bin"), "-o", path(name + ".img")});
        const ToolRun r = slotimg(options);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(path(name + ".img"));
    }

    std::string dir_ = (fs::temp_directory_path() / "slotimg-test-XXXXXX").string();
};

TEST_F(SlotimgCli, CreateBundleInfoVerifyExtractRoundTrip) {
    Bytes kernel(1000), app(70000), boot(4096, 0xEE);
    std::iota(kernel.begin(), kernel.end(), std::uint8_t{0});
    std::iota(app.begin(), app.end(), std::uint8_t{7});
    const Bytes images[] = {
        create("kernel", kernel, {"--type", "kernel", "--version", "1.2.3.4"}),
        create("app", app, {"--type=application", "--version=2.0.0.7", "--layout", "3", "--header-length", "32"}),
        create("boot", boot, {"--type", "bootloader", "--version", "3.1.0.255", "--layout", "2", "--embed-header"}),
    };
    for (const Bytes& img : images)  // the crc, by the bit-by-bit rule, over all but bytes 0-3
        ASSERT_TRUE(img.size() >= 16 && load_be32(img.data()) == crc32_bitwise(img.data() + 4, img.size() - 4, ~0u));
    const std::string b = path("b.img");
    ASSERT_EQ(slotimg({"bundle", "-o", b, path("kernel.img"), path("app.img"), path("boot.img")}).status, 0);

    const ToolRun info = slotimg({"info", b});
    for (const char* line : {": 3 sub-images in 75168 bytes\n", "result: sound\n",
                             "kernel       1.2.3.4         1      16     1000       1016",
                             "1016       application  2.0.0.7         3      32     70000      70032",
                             "bootloader   3.1.0.255       2      24     4096       4120"}) {
        EXPECT_TRUE(info.status == 0 && info.out.find(line) != std::string::npos) << line << " in\n" << info.out;
    }
    const ToolRun verify = slotimg({"verify", b});
    EXPECT_TRUE(verify.status == 0 && verify.out == b + ": 3 sub-images, all sound\n") << verify.out;

    // Sub-images and payloads come back whole; the bootloader's has its header's copy (crc 0) at 240.
    std::memcpy(boot.data() + 240, images[2].data(), 16);
    store_be32(boot.data() + 240, 0);
    const Bytes* payloads[] = {&kernel, &app, &boot};
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(slotimg({"extract", b, "--index", n, "-o", path("w")}).status, 0);
        EXPECT_EQ(read_file(path("w")), images[i]) << i;
        EXPECT_EQ(slotimg({"extract", b, "--index", n, "--payload", "-o", path("p")}).status, 0);
        EXPECT_EQ(read_file(path("p")), *payloads[i]) << i;
    }
}

// verify exits 1 and prints one line per problem, for any flipped byte too.
TEST_F(SlotimgCli, VerifyReportsEachProblem) {
    const Bytes s = create("s", Bytes(40, 0x33), {"--type", "rootfs", "--version", "1.0.0.0"});
    ASSERT_EQ(s.size(), 56u);
    for (std::size_t i = 0; i < 2 * s.size(); ++i) {
        Bytes bad = s + s;
        bad[i] ^= 0x10;
        write_file(path("bad.img"), bad);
        const ToolRun r = slotimg({"verify", path("bad.img")});
        EXPECT_TRUE(r.status == 1 && !r.out.empty() && r.out.find("all sound") == std::string::npos) << i << r.out;
    }
    Bytes crc_word = s + s, wrapping = s + s;
    crc_word[56] ^= 0xFF;  // the computed crc stays what it was: bytes 0-3 are not covered
    store_be32(wrapping.data() + 56 + 4, 0xFFFFFFFF);
    char mismatch[100];
    std::snprintf(mismatch, sizeof mismatch,
                  "sub-image #1 at offset 56: crc mismatch (stored 0x%08X, computed 0x%08X)\n",
                  load_be32(crc_word.data() + 56), load_be32(s.data()));
    const struct { Bytes file; const char* line; } cases[] = {
        {crc_word, mismatch},
        {wrapping, "sub-image #1 at offset 56: invalid header lengths (layout 1, len 4294967295, H 16)\n"},
        {s + Bytes(s.begin(), s.end() - 1),
         "sub-image #1 at offset 56: cut short by the end of the file (T 56, 55 bytes remain)\n"},
        {{}, "no sub-image found\n"},
        {s + Bytes{'j', 'u', 'n', 'k', '!'}, "trailing 5 bytes at offset 56 hold no sub-image\n"},  // last
    };
    for (const auto& c : cases) {
        write_file(path("bad.img"), c.file);
        const ToolRun r = slotimg({"verify", path("bad.img")});
        EXPECT_TRUE(r.status == 1 && r.out == path("bad.img") + ": " + c.line) << c.line << "not\n" << r.out;
    }
    EXPECT_NE(slotimg({"info", path("bad.img")}).out.find(cases[4].line), std::string::npos);  // info says so too
}

TEST_F(SlotimgCli, HelpAndOneLineErrors) {
    for (const char* cmd : {"create", "bundle", "info", "verify", "extract"}) {
        const ToolRun r = slotimg({cmd, "x.img", "--bogus", "--help"});  // help, whatever else is given
        EXPECT_TRUE(r.status == 0 && r.out.rfind(std::string("usage: slotimg ") + cmd, 0) == 0) << cmd << r.out;
    }
    const Bytes s = create("s", Bytes(40, 0x33), {"--type", "rootfs", "--version", "1.0.0.0"});
    ASSERT_EQ(s.size(), 56u);
    write_file(path("junk.img"), s + Bytes{1, 2, 3});
    write_file(path("bad.img"), Bytes(s.begin(), s.end() - 1) + Bytes{0});
    write_file(path("hdr3.bin"), {'H', 'D', 'R', '3', 1, 2, 3, 4, 5, 6});
    const std::string k = path("s.bin"), o = path("o"), b = path("s.img");
    const struct { std::vector<std::string> args; const char* says; } cases[] = {
        {{"create", "--type=kernel", "--version=1.2.3.4", "--layout=2", "--header-length=20", k, "-o", o}, "24..65535"},
        {{"create", "--type=kernel", "--version=1.2.3.4", "--embed-header", k, "-o", o}, "only a bootloader"},
        {{"create", "--type=kernel", "--version=1.2.3.4", path("hdr3.bin"), "-o", o}, "HDR3"},
        {{"create", "--type=kernel", "--version=1.2.3.4", path("none.bin"), "-o", o}, "cannot open"},
        {{"bundle", "-o", o, b, path("junk.img")}, "trailing 3 bytes at offset 56 hold no sub-image"},
        {{"info", dir_}, "not a regular file"},
        {{"extract", b, "--index", "1", "-o", o}, "holds 1 sub-image; there is no #1"},
        {{"extract", path("bad.img"), "--index", "0", "-o", o}, "crc mismatch"},
    };
    for (const auto& c : cases) {
        const ToolRun r = slotimg(c.args);
        EXPECT_TRUE(r.status != 0 && r.out.empty() && r.err.rfind("slotimg", 0) == 0 &&
                    r.err.find(c.says) != std::string::npos && std::count(r.err.begin(), r.err.end(), '\n') == 1)
            << c.says << "\nnot\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(o));  // no failed command leaves an output behind
}

}  // namespace
