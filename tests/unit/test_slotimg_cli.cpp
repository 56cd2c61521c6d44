// Tests of the slotimg command line, run in-process on real files: the
// create -> bundle -> info -> verify -> extract round trip, problems that
// verify must catch, --help everywhere, and one-line errors.
#include "slotimg/slotimg_cli.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "crc32_bitwise.hpp"
#include "image/byte_order.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

ToolRun slotimg(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"slotimg"};
    for (const auto& a : args) argv.push_back(a.c_str());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = run_slotimg(static_cast<int>(argv.size()), argv.data(), out, err);
    return ToolRun{status, slurp(out), slurp(err)};
}

Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

int count_lines(const std::string& s) {
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

class SlotimgCli : public testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "slotimg-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        std::mt19937 rng(42);
        kernel_payload_.resize(1000);
        for (auto& b : kernel_payload_) b = static_cast<std::uint8_t>(rng());
        kernel_payload_[0] = 0;  // never "HDR3" by chance
        app_payload_.resize(70000);
        for (auto& b : app_payload_) b = static_cast<std::uint8_t>(rng());
        boot_payload_.resize(4096, 0xEE);
        write_file(path("kernel.bin"), kernel_payload_);
        write_file(path("app.tar.gz"), app_payload_);
        write_file(path("u-boot.bin"), boot_payload_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Three images in the three layouts, bundled.
    void make_bundle() {
        ASSERT_EQ(slotimg({"create", "--type", "kernel", "--version", "1.2.3.4", path("kernel.bin"), "-o",
                           path("kernel.img")})
                      .status,
                  0);
        ASSERT_EQ(slotimg({"create", "--type=application", "--version=2.0.0.7", "--layout", "3", "--header-length",
                           "32", path("app.tar.gz"), "-o", path("app.img")})
                      .status,
                  0);
        ASSERT_EQ(slotimg({"create", "--type", "bootloader", "--version", "3.1.0.255", "--layout", "2",
                           "--embed-header", path("u-boot.bin"), "-o", path("boot.img")})
                      .status,
                  0);
        const ToolRun r = slotimg({"bundle", "-o", path("bundle.img"), path("kernel.img"), path("app.img"),
                               path("boot.img")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }

    fs::path dir_;
    Bytes kernel_payload_, app_payload_, boot_payload_;
};

TEST_F(SlotimgCli, CreateInfoVerifyExtractRoundTrip) {
    make_bundle();
    const Bytes bundle = read_file(path("bundle.img"));
    const Bytes kernel_img = read_file(path("kernel.img"));
    const Bytes app_img = read_file(path("app.img"));
    const Bytes boot_img = read_file(path("boot.img"));
    ASSERT_EQ(kernel_img.size(), 16 + kernel_payload_.size());
    ASSERT_EQ(app_img.size(), 32 + app_payload_.size());
    ASSERT_EQ(boot_img.size(), 24 + boot_payload_.size());
    ASSERT_EQ(bundle.size(), kernel_img.size() + app_img.size() + boot_img.size());

    // Each image's crc, by the bit-by-bit rule.
    for (const Bytes* img : {&kernel_img, &app_img, &boot_img}) {
        EXPECT_EQ(load_be32(img->data()), crc32_bitwise(img->data() + 4, img->size() - 4, 0xFFFFFFFFu));
    }

    const ToolRun info = slotimg({"info", path("bundle.img")});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("3 sub-images in " + std::to_string(bundle.size()) + " bytes"), std::string::npos);
    EXPECT_NE(info.out.find("kernel       1.2.3.4         1      16     1000       1016"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("1016       application  2.0.0.7         3      32     70000      70032"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("bootloader   3.1.0.255       2      24     4096       4120"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("header copy at payload byte 240: matches"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("mismatch"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("result: sound\n"), std::string::npos) << info.out;

    const ToolRun json = slotimg({"info", path("bundle.img"), "--json"});
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"offset\": 71048, \"type\": \"bootloader\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"trailing\": null, \"sound\": true}"), std::string::npos) << json.out;

    const ToolRun verify = slotimg({"verify", path("bundle.img")});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(verify.out, path("bundle.img") + ": 3 sub-images, all sound\n");

    // Whole sub-images come back byte for byte; payloads are what went in,
    // except the bootloader's copy at payload bytes 240-255.
    const struct {
        const char* index;
        const Bytes* whole;
        const Bytes* payload;
    } parts[] = {{"0", &kernel_img, &kernel_payload_}, {"1", &app_img, &app_payload_}, {"2", &boot_img, nullptr}};
    for (const auto& p : parts) {
        ASSERT_EQ(slotimg({"extract", path("bundle.img"), "--index", p.index, "-o", path("whole.out")}).status, 0);
        EXPECT_EQ(read_file(path("whole.out")), *p.whole) << p.index;
        ASSERT_EQ(slotimg({"extract", path("bundle.img"), "--index", p.index, "--payload", "-o", path("p.out")}).status,
                  0);
        if (p.payload) {
            EXPECT_EQ(read_file(path("p.out")), *p.payload) << p.index;
        }
    }
    Bytes boot_out = read_file(path("p.out"));
    ASSERT_EQ(boot_out.size(), boot_payload_.size());
    EXPECT_EQ(Bytes(boot_out.begin() + 244, boot_out.begin() + 256), Bytes(boot_img.begin() + 4, boot_img.begin() + 16));
    EXPECT_EQ(load_be32(boot_out.data() + 240), 0u);
    std::fill(boot_out.begin() + 240, boot_out.begin() + 256, 0xEE);
    EXPECT_EQ(boot_out, boot_payload_);

    // An extracted sub-image is itself a sound image file.
    EXPECT_EQ(slotimg({"verify", path("whole.out")}).status, 0);
}

// Any single byte changed anywhere in the bundle: verify fails and says so,
// one line per problem; the crc words themselves included.
TEST_F(SlotimgCli, VerifyFailsOnEveryFlippedByte) {
    ASSERT_EQ(slotimg({"create", "--type", "kernel", "--version", "1.0.0.0", "--layout", "3", path("kernel.bin"), "-o",
                       path("k.img")})
                  .status,
              0);
    const Bytes small(kernel_payload_.begin(), kernel_payload_.begin() + 40);
    write_file(path("small.bin"), small);
    ASSERT_EQ(slotimg({"create", "--type", "rootfs", "--version", "1.0.0.0", path("small.bin"), "-o", path("s.img")})
                  .status,
              0);
    ASSERT_EQ(slotimg({"bundle", "-o", path("b.img"), path("s.img"), path("s.img")}).status, 0);
    const Bytes good = read_file(path("b.img"));
    ASSERT_EQ(good.size(), 2 * 56u);
    for (std::size_t i = 0; i < good.size(); ++i) {
        Bytes bad = good;
        bad[i] ^= 0x10;
        write_file(path("bad.img"), bad);
        const ToolRun r = slotimg({"verify", path("bad.img")});
        EXPECT_EQ(r.status, 1) << "byte " << i;
        EXPECT_GE(count_lines(r.out), 1) << "byte " << i;
        EXPECT_EQ(r.out.find("all sound"), std::string::npos) << "byte " << i;
        EXPECT_EQ(r.err, "") << "byte " << i;
    }
    // A payload byte of the second sub-image: exactly that one is named.
    Bytes bad = good;
    bad[56 + 30] ^= 0x01;
    write_file(path("bad.img"), bad);
    const ToolRun r = slotimg({"verify", path("bad.img")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines(r.out), 1) << r.out;
    EXPECT_NE(r.out.find(": sub-image #1 at offset 56: crc mismatch (stored 0x"), std::string::npos) << r.out;
    // extract refuses it unless forced.
    const ToolRun refused = slotimg({"extract", path("bad.img"), "--index", "1", "-o", path("x.out")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("crc mismatch"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("x.out")));
    EXPECT_EQ(slotimg({"extract", path("bad.img"), "--index", "1", "--force", "-o", path("x.out")}).status, 0);
    EXPECT_EQ(read_file(path("x.out")), Bytes(bad.begin() + 56, bad.end()));
}

TEST_F(SlotimgCli, TrailingBytesAreReported) {
    make_bundle();
    Bytes b = read_file(path("bundle.img"));
    const std::size_t end = b.size();
    b.insert(b.end(), {'j', 'u', 'n', 'k', '!'});
    write_file(path("junk.img"), b);
    const std::string line = "trailing 5 bytes at offset " + std::to_string(end) + " hold no sub-image";

    const ToolRun info = slotimg({"info", path("junk.img")});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find(line + "\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("result: NOT sound"), std::string::npos) << info.out;

    const ToolRun json = slotimg({"info", "--json", path("junk.img")});
    EXPECT_NE(json.out.find("\"trailing\": {\"offset\": " + std::to_string(end) + ", \"length\": 5}"),
              std::string::npos)
        << json.out;

    const ToolRun verify = slotimg({"verify", path("junk.img")});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out, path("junk.img") + ": " + line + "\n");

    // Such a file is not accepted into a bundle, and no output is left.
    const ToolRun bundle = slotimg({"bundle", "-o", path("out.img"), path("kernel.img"), path("junk.img")});
    EXPECT_EQ(bundle.status, 1);
    EXPECT_EQ(bundle.err, "slotimg bundle: " + path("junk.img") + ": " + line + "\n");
    EXPECT_FALSE(fs::exists(path("out.img")));
}

TEST_F(SlotimgCli, OutputMayReplaceAnInput) {
    make_bundle();
    const Bytes kernel_img = read_file(path("kernel.img"));
    const Bytes app_img = read_file(path("app.img"));
    ASSERT_EQ(slotimg({"bundle", "-o", path("kernel.img"), path("kernel.img"), path("app.img")}).status, 0);
    Bytes expected = kernel_img;
    expected.insert(expected.end(), app_img.begin(), app_img.end());
    EXPECT_EQ(read_file(path("kernel.img")), expected);
    // No temporary file is left beside it.
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir_)) files += e.path().filename().string().rfind("kernel.img", 0) == 0;
    EXPECT_EQ(files, 1);
}

TEST_F(SlotimgCli, HelpOnEveryCommand) {
    for (const char* cmd : {"create", "bundle", "info", "verify", "extract"}) {
        for (const char* flag : {"--help", "-h"}) {
            const ToolRun r = slotimg({cmd, flag});
            EXPECT_EQ(r.status, 0) << cmd;
            EXPECT_EQ(r.out.rfind(std::string("usage: slotimg ") + cmd, 0), 0u) << cmd << ": " << r.out;
            EXPECT_EQ(r.err, "") << cmd;
        }
        // Even among other arguments, or beside an unknown option.
        const ToolRun r = slotimg({cmd, "x.img", "--bogus", "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.rfind(std::string("usage: slotimg ") + cmd, 0), 0u) << cmd;
    }
    const ToolRun top = slotimg({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char* cmd : {"create", "bundle", "info", "verify", "extract"}) {
        EXPECT_NE(top.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
    }
}

TEST_F(SlotimgCli, ErrorsAreOneLineAndNonZero) {
    make_bundle();
    write_file(path("empty.img"), {});
    const std::string k = path("kernel.bin");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"create", "--version", "1.2.3.4", k, "-o", path("o")}, "--type is required"},
        {{"create", "--type", "kernel", k, "-o", path("o")}, "--version is required"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", k}, "-o OUT is required"},
        {{"create", "--type", "kernal", "--version", "1.2.3.4", k, "-o", path("o")}, "unknown type 'kernal'"},
        {{"create", "--type", "kernel", "--version", "1.2.3", k, "-o", path("o")}, "bad version '1.2.3'"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "--layout", "0", k, "-o", path("o")}, "bad layout"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "--layout", "2", "--header-length", "20", k, "-o",
          path("o")},
         "outside 24..65535"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "--header-length", "32", k, "-o", path("o")},
         "layout 2 or 3"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", "--embed-header", k, "-o", path("o")},
         "only a bootloader"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", path("missing.bin"), "-o", path("o")},
         "cannot open"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", k, "-o", path("no/such/dir/o")}, "cannot create"},
        {{"create", "--type", "kernel", "--version", "1.2.3.4", k, k, "-o", path("o")}, "exactly one PAYLOAD"},
        {{"create", "--type"}, "needs a value"},
        {{"bundle", path("kernel.img")}, "-o OUT is required"},
        {{"bundle", "-o", path("o")}, "at least one IMAGE"},
        {{"bundle", "-o", path("o"), path("empty.img")}, "no sub-image found"},
        {{"info"}, "exactly one FILE"},
        {{"info", dir_.string()}, "not a regular file"},
        {{"info", path("bundle.img"), "--jsn"}, "unknown option '--jsn'"},
        {{"verify", path("missing.img")}, "cannot open"},
        {{"extract", path("bundle.img"), "-o", path("o")}, "--index N is required"},
        {{"extract", path("bundle.img"), "--index", "3", "-o", path("o")}, "holds 3 sub-images; there is no #3"},
        {{"extract", path("bundle.img"), "--index", "-1", "-o", path("o")}, "bad index"},
        {{"extract", path("bundle.img"), "--index", "0"}, "-o OUT is required"},
    };
    for (const auto& c : cases) {
        const ToolRun r = slotimg(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_NE(r.status, 0) << joined;
        EXPECT_EQ(count_lines(r.err), 1) << joined << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("slotimg", 0), 0u) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(r.out, "") << joined;
    }
    EXPECT_FALSE(fs::exists(path("o")));
    // verify of an empty file: a failed check, reported on stdout.
    const ToolRun empty = slotimg({"verify", path("empty.img")});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, path("empty.img") + ": no sub-image found\n");
}

}  // namespace
