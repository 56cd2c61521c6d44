// boot/: the settings, the env-setup file, the walk over a slot file, the verified copies.
#include <sys/wait.h>

#include <cstring>

#include "boot/boot_sequence.hpp"
#include "boot/boot_settings.hpp"
#include "boot/boot_walk.hpp"
#include "boot/env_setup.hpp"
#include "boot/rescue_image.hpp"
#include "platform/flash.hpp"
#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using namespace unit;
constexpr std::uint32_t APP = IMAGE_TYPE_APPLICATION, DIAG = IMAGE_TYPE_DIAGNOSTICS,
                        KERNEL = IMAGE_TYPE_KERNEL, CHUNK = STREAM_CHUNK_SIZE;

std::string summary(const BootSettings& s) {
    std::string out;
    for (auto [on, name] : {std::pair{s.gdb, "gdb "},
                            {s.gdbserver, "gdbserver "},
                            {s.shell, "shell "},
                            {s.memchk, "memchk "},
                            {s.rescue_at_boot, "rescue "},
                            {s.diags_at_boot, "diags "}})
        if (on) out += name;
    return out + "port=" + std::to_string(s.gdb_port);
}

TEST(LoadBootSettings, EveryLookupRule) {
    const struct {
        std::string text;
        const char* expect;
        const char* faults = "";
    } cases[] = {
        {"gdb=onion\0gdbport=\0"s
         "77"s,
         "gdb port=77"},  // two characters decide; a NUL reads as a blank
        {"gdb=ON gdbport=99x1 diagnostics=Rescue", "port=99"},  // case matters
        {"gdb=o gdbport=0x10 diagnostics=diag", "port=0"},      // too short
        {"kgdb=on gdbport=-5", "gdb port=-5"},                  // a substring match
        {"gdb=off gdb=on gdbport=1 gdbport=2", "port=1"},       // the first occurrence counts
        {"gdbport=abc gdbport=5", "port=1234"},                 // no number: the port stays
        {"gdbserver=on gdb=off", "gdb gdbserver port=1234"},    // gdb is looked up first
        {"gdb=on gdbserver=off", "gdb port=1234"},
        {"gdbport=99999999999", "port=2147483647"},
        {"memchk=on diagnostics=rescuer", "memchk rescue port=1234"},  // six characters decide
        {"diagnostics=diagsX", "diags port=1234"},                     // five characters decide
        {std::string(1272, 'x') + "shell=on", "shell port=1234"},  // the value ends at byte 1280
        {std::string(1273, 'x') + "shell=on", "port=1234"},
        {"gdb=on shell=on", "port=1234", "flash:ubootenv:read:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Board board(c.faults);
        // The first word, the checksum, reads "gdb=": it must not be scanned.
        board.put("ubootenv", "gdb=" + c.text + std::string(0x2000 - c.text.size(), '\xFF'));
        board.apply();
        open_flash_partitions();
        boot_settings = BootSettings{};
        load_boot_settings();
        EXPECT_EQ(summary(boot_settings), c.expect);
    }
}

TEST(ApplyEnvSetup, ScansPairsToTheEnd) {
    const std::string long600 = "ES_L" + std::string(596, 'a');
    const struct {
        std::string text;
        int names;
        std::vector<std::pair<std::string, std::string>> vars;
    } cases[] = {
        {"ES_A 1 ES_B", 2, {{"ES_A", "1"}, {"ES_B", ""}}},  // an odd count: the last name gets ""
        {" \n", 0, {{"ES_A", "old"}}},
        {"\tES_A\v1\r\nES_B\f2", 2, {{"ES_A", "1"}, {"ES_B", "2"}}},  // every kind of white space
        {long600 + " ES_B 2", 2, {{long600.substr(0, 511), long600.substr(511)}, {"ES_B", "2"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        setenv("ES_A", "old", 1);
        unsetenv("ES_B");
        EXPECT_EQ(apply_env_setup(file_with({c.text.begin(), c.text.end()}).get()), c.names);
        for (const auto& [name, value] : c.vars)
            EXPECT_STREQ(std::getenv(name.c_str()), value.c_str());
    }
}

TEST(FindBootSubimage, WalksByTheExtentOfEachHeader) {
    using enum BootWalkEnd;
    const Bytes kernel = subimage(KERNEL, pattern(100, 1));  // 116 bytes
    const Bytes app2 = subimage(APP, pattern(50, 2), 2, 32),
                app3 = subimage(APP, pattern(70, 3), 3, 40);
    const Bytes unknown = subimage(0x12345678, pattern(9, 5)),
                rootfs = subimage(IMAGE_TYPE_ROOTFS, {}, 3, 24);
    const struct {
        const char* name;
        Bytes file;
        BootWalkEnd end;
        std::uint32_t type, at = 0, h = 0, p = 0;
    } cases[] = {
        {"diagnostics first", subimage(DIAG, pattern(30, 4), 3, 40) + app2, found, DIAG, 0, 40, 30},
        {"other types skipped", unknown + rootfs + kernel + app2, found, APP, 25 + 24 + 116, 32,
         50},
        {"empty file", {}, end_of_file, 0},
        {"under 24 bytes after a kernel", kernel + subimage(APP, {1, 2}), end_of_file, KERNEL},
        // A bootable header with unusable lengths: the caller's failed checksum.
        {"layout 1, len wraps", header(APP, 0xFFFFFFF8), bad_bootable, APP},
        {"ends a byte into an application", kernel + Bytes(app3.begin(), app3.end() - 1),
         bad_bootable, APP},
        // Any other header with unusable lengths ends the walk.
        {"kernel of length 0", header(KERNEL, 0, 2, 0) + app2, bad_header, KERNEL},
        {"kernel past the end", header(KERNEL, 4096) + app2, end_of_file, KERNEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueFile f = file_with(c.file);
        const BootWalk walk = find_boot_subimage(f.get());
        EXPECT_EQ(walk.end, c.end);
        EXPECT_EQ(walk.extent.type, c.type);
        if (!walk.found()) continue;
        EXPECT_EQ(walk.offset, c.at);
        EXPECT_EQ(walk.extent.header_length, c.h);
        EXPECT_EQ(walk.extent.payload_length, c.p);
    }
}

// Sizes around the chunk, header lengths that split one; every fault leaves the archive empty,
// though most of the payload was written.
TEST(CopyVerifiedPayload, WritesExactlyThePayloadOrLeavesTheArchiveEmpty) {
    constexpr std::size_t P = 3 * CHUNK + 17;
    const struct {
        int layout;
        std::uint16_t h;
        std::size_t p, flip = 0, cut = 0;
    } cases[] = {
        {1, 16, CHUNK - 16},         // one chunk exactly
        {3, 0xFFFF, 2 * CHUNK + 5},  // a header longer than a chunk
        {2, 4097, P},
        {2, 4097, P, 4},     // the first byte after the CRC word changed
        {2, 4097, P, 0, 1},  // the file ends in the payload
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.p << " flip " << c.flip << " cut " << c.cut);
        const Bytes payload = pattern(c.p, 9), lead = subimage(KERNEL, pattern(33, 1));
        Bytes img = subimage(APP, payload, c.layout, c.h);
        const std::uint32_t crc = load_be32(img.data());
        img[c.flip] ^= c.flip != 0 ? 0x80 : 0;
        img.resize(img.size() - c.cut);
        UniqueFile in = file_with(lead + img), out(std::tmpfile());  // a buffered archive
        ASSERT_EQ(fseeko(in.get(), off_t(lead.size()), SEEK_SET), 0);
        const bool sound = c.flip == 0 && c.cut == 0;
        EXPECT_EQ(copy_verified_payload(in.get(), c.h, std::uint32_t(c.p), crc, out.get()), sound);
        EXPECT_TRUE(contents(out.get()) == (sound ? payload : Bytes{}));  // not printed: megabytes
    }
}

// A partition in memory that fails its Nth read, and any read past its end or over a chunk.
struct Flash {
    Bytes bytes;
    int fail_read = 0, reads = 0;
    bool bad_read = false;
    ImageSource source() {
        return {[this](std::uint64_t offset, std::span<std::uint8_t> into) {
                    bad_read =
                        bad_read || offset + into.size() > bytes.size() || into.size() > CHUNK;
                    if (++reads == fail_read || bad_read) return false;
                    std::memcpy(into.data(), bytes.data() + offset, into.size());
                    return true;
                },
                bytes.size()};
    }
};

TEST(StreamRescueImage, StreamsASoundPayloadAndLeavesTheArchiveEmptyOtherwise) {
    const auto partition = [](Bytes image, std::size_t size = 1 << 20) {
        image.resize(size, 0xFF);
        return image;
    };
    const Bytes app = subimage(APP, pattern(200000, 1));  // read as a probe and 4 chunks
    const Bytes diag = subimage(DIAG, pattern(3 * CHUNK + 17, 2), 2, 40);
    Bytes bad_crc = app;
    bad_crc.back() ^= 1;
    using enum RescueImageStatus;
    const struct {
        const char* name;
        Bytes part;
        RescueImageStatus status;
        std::uint32_t h = 0, t = 0;
        int fail_read = 0;
    } cases[] = {
        {"layout 2", partition(diag), sound, 40, std::uint32_t(diag.size())},
        {"last payload byte changed", partition(bad_crc), corrupt},
        {"partition ends a byte inside the image", partition(app, app.size() - 1), corrupt},
        {"probe read fails", partition(app), corrupt, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Flash flash{c.part, c.fail_read};
        UniqueFile archive = file_with(pattern(5000, 7));  // left from an earlier boot
        const RescueImage r = stream_rescue_image(flash.source(), archive.get());
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contents(archive.get()) == Bytes(c.part.begin() + c.h, c.part.begin() + c.t));
        EXPECT_FALSE(flash.bad_read);
    }
}

// A length past the end of the file (the system suite copies a sound one).
TEST(CopyDebuggerImage, StopsAtTheEndOfTheFile) {
    const Bytes file = header(DIAG, 0xFFFFFFFF) + pattern(200000, 11);
    UniqueFile slot = file_with(file), gz(std::tmpfile());
    Console console;
    EXPECT_TRUE(copy_debugger_image(path_of(slot.get()).c_str(), path_of(gz.get()).c_str(), 2));
    EXPECT_EQ(console.finish().out, "Found GDB image 2 of length = 4294967295.\n");
    EXPECT_TRUE(contents(gz.get()) == Bytes(file.begin() + 16, file.end()));
}

// What the boot does goes to standard output, what failed to standard error (the console merges
// them): slot 1 fails its CRC, slot 2 is missing, the second attempt, the reboot.
TEST(BootSequence, FailuresGoToStandardError) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    Board board;
    board.put("ubootenv", Bytes(0x2000, 0xFF));
    board.apply();  // the register reads 0: slot 1
    board.hold_switch_files();
    Bytes slot1 = subimage(APP, pattern(100, 1));
    slot1.back() ^= 1;
    write_file(slot_file_path(1), slot1);
    Console console;
    const pid_t boot = ::fork();
    if (boot == 0) run_boot_sequence();
    int status = -1;
    ::waitpid(boot, &status, 0);
    const Printed printed = console.finish();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(printed.out,
              "mount [-o] [sync] [-t] [jffs2] [/dev/mtd-user] [/user]\nBooting image '1'\n"
              "Booting image '2'\nreboot\n");
    EXPECT_EQ(printed.err, "Image1 CRC failed, trying Image2 now.\nFailed to open Application "
                           "image 2. Trying image 1.\n"
                           "Both image1 and image2 failed.\n");
}

}  // namespace
