// The installed headers on a simulated board and its slot files: where each type keeps its header (the version
// report), and the same-version test.
#include "image/installed_headers.hpp"

#include "platform/flash.hpp"
#include "test_support.hpp"

namespace {

using unit::Bytes;
constexpr std::uint32_t BOOT = IMAGE_TYPE_BOOTLOADER, KERNEL = IMAGE_TYPE_KERNEL, FLAG = IMAGE_EXTENDED_FLAG;

Bytes header(std::uint32_t crc, std::uint32_t magic, std::uint32_t id) {
    Bytes h(16);
    const std::uint32_t words[] = {crc, 0x4000, magic, id};
    for (int i = 0; i < 4; ++i) store_be32(&h[4 * i], words[i]);
    return h;
}

// Erased partitions and a slot file image1 holding `slot1`, with `put` (partition, offset, header) written.
struct HeaderBoard : unit::Board {
    std::string slots = dir.file("images");
    HeaderBoard(const Bytes& slot1, const std::vector<std::tuple<const char*, int, Bytes>>& put) {
        for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            Bytes part(65536, 0xFF);
            for (const auto& [on, at, h] : put)
                if (std::string(on) == name) std::copy(h.begin(), h.end(), part.begin() + at);
            this->put(name, part);
        }
        std::filesystem::create_directory(slots);
        unit::write_file(slots + "/image1", slot1);
        apply();
        open_flash_partitions();
    }
};

// The boot loader's header lies at byte 240 of its partition, the others' first; an erased partition reads as
// 255.255.255.255, a missing slot file as 0.0.0.0.
TEST(InstalledHeaders, VersionReport) {
    HeaderBoard board(header(1, IMAGE_TYPE_APPLICATION, 0x02000007),
                      {{"uboot", 0, header(1, BOOT, 0x09090909)}, {"uboot", 240, header(1, BOOT | FLAG, 0x01FF0A00)},
                       {"kernel", 0, header(1, KERNEL, 0x03020100)}, {"devicetree", 0, header(1, 0x054F5249, 5)}});
    unit::Console console;
    EXPECT_EQ(show_installed_versions_in(board.slots.c_str()), 0);
    EXPECT_EQ(console.finish().out,
              "Installed images versions: \n\tBoot image  : 1.255.10.0\n\tRFS image   : 255.255.255.255\n"
              "\tKernel image: 3.2.1.0\n\tDFT image   : 0.0.0.5\n\tOS image 1  : 2.0.0.7\n\tOS image 2  : 0.0.0.0\n");
}

// The boot loader's header is compared without its CRC word, the others' with it; the flag of layout 2 is
// part of the comparison but not of the lookup. A type without a place reads as nothing installed.
TEST(InstalledHeaders, SameAsInstalled) {
    const struct { const char* partition; int at; Bytes installed, offered; int same; const char* out = ""; } rows[] = {
        {"uboot", 240, header(0xC0, BOOT, 1), header(0xC1, BOOT, 1), 1},
        {"uboot", 240, header(0xC0, BOOT, 1), header(0xC0, BOOT, 5), 0},
        {"kernel", 0, header(0xC0, KERNEL, 1), header(0xC1, KERNEL, 1), 0},
        {"kernel", 0, header(0xC0, KERNEL | FLAG, 1), header(0xC0, KERNEL | FLAG, 1), 1},
        {"kernel", 0, header(0xC0, KERNEL, 1), header(0xC0, KERNEL | FLAG, 1), 0},
        {"rescue", 0, header(7, IMAGE_TYPE_DIAGNOSTICS, 1), header(7, IMAGE_TYPE_DIAGNOSTICS, 1), 1},
        {"rfs", 0, header(7, IMAGE_TYPE_ROOTFS, 1), header(8, IMAGE_TYPE_ROOTFS, 1), 0},
        {"", 0, header(0xAB, IMAGE_TYPE_APPLICATION, 1), header(0xAB, IMAGE_TYPE_APPLICATION, 1), 1},
        {"", 0, header(0xAB, IMAGE_TYPE_APPLICATION, 1), header(0xAC, IMAGE_TYPE_APPLICATION, 1), 0},
        {"", 0, header(0, 0x074F5249, 1), header(0, 0x074F5249, 1), 0, "Unknown image type 0x74f5249 \n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.partition << " row " << &r - rows);
        HeaderBoard board(*r.partition ? Bytes{} : r.installed, {{r.partition, r.at, r.installed}});
        unit::Console console;
        EXPECT_EQ(same_as_installed_in(board.slots.c_str(), r.offered.data(), 1), r.same);
        EXPECT_EQ(console.finish().out, r.out);
    }
}

}  // namespace
