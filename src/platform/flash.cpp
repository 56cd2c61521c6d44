// Raw flash partitions: the handle table, the geometry query, plain reads and
// the erase-block rewrite with its progress display.
#include "platform/flash.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>

#include "platform/device_io.hpp"

namespace {

// Indexed by FlashPartition. The rescue partition alone is opened without
// O_SYNC.
constexpr int OPEN_FLAGS[FLASH_PARTITION_COUNT] = {
    O_RDWR | O_SYNC, O_RDWR | O_SYNC, O_RDWR | O_SYNC, O_RDWR | O_SYNC, O_RDWR | O_SYNC, O_RDWR,
};

int handles[FLASH_PARTITION_COUNT] = {-1, -1, -1, -1, -1, -1};

constexpr std::uint32_t WRITE_PIECE = 1024;

// The block rewrite needs a power of two (for the masks and shifts) that the
// 1024-byte write-back pieces cover exactly.
bool usable_erase_size(std::uint32_t es) {
    return es != 0 && (es & (es - 1)) == 0 && es % WRITE_PIECE == 0;
}

bool range_fits(const FlashGeometry& geometry, std::uint32_t offset, std::uint32_t length) {
    return std::uint64_t{offset} + length <= geometry.total_size;
}

// Prints a failure of the block rewrite: the message line and an empty line.
void write_failed(const char* what) {
    std::printf("Flash Write %s\n\n", what);
}

}  // namespace

const char* flash_device_path(FlashPartition partition) {
    int index = static_cast<int>(partition);
    if (index < 0 || index >= FLASH_PARTITION_COUNT) return "";
    return FLASH_DEVICE_PATHS[index];
}

int open_flash_partitions() {
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i) {
        handles[i] = device_io::mtd_open(FLASH_DEVICE_PATHS[i], OPEN_FLAGS[i]);
    }
    return 1;
}

int flash_handle(FlashPartition partition) {
    int index = static_cast<int>(partition);
    if (index < 0 || index >= FLASH_PARTITION_COUNT) return -1;
    return handles[index];
}

int flash_get_geometry(int handle, FlashGeometry* geometry) {
    device_io::MtdInfo info{};
    if (device_io::mtd_get_info(handle, &info) != 0) {
        std::printf("Could not get MTD device info \n");
        return 0;
    }
    // An erase size of 0 has no blocks and no set bit; flash_write refuses it.
    geometry->block_count = info.erasesize != 0 ? info.size / info.erasesize : 0;
    geometry->erase_size = info.erasesize;
    geometry->total_size = info.size;
    geometry->erase_shift = 0;
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        if ((info.erasesize >> bit) & 1u) {
            geometry->erase_shift = bit;
            break;
        }
    }
    return 1;
}

bool mtd_read(int handle, std::uint32_t offset, std::uint32_t length, void* buffer) {
    return device_io::mtd_pread(handle, buffer, length, static_cast<off_t>(offset)) >= 0;
}

bool mtd_write(int handle, std::uint32_t offset, std::uint32_t length, const void* buffer) {
    return device_io::mtd_pwrite(handle, buffer, length, static_cast<off_t>(offset)) >= 0;
}

bool mtd_erase(int handle, std::uint32_t offset, std::uint32_t length) {
    return device_io::mtd_erase(handle, offset, length) >= 0;
}

int flash_read(void* buffer, int handle, std::uint32_t offset, std::uint32_t length) {
    FlashGeometry geometry{};
    if (!flash_get_geometry(handle, &geometry)) return -1;
    if (!range_fits(geometry, offset, length)) {
        std::printf("Flash Read range past end of partition.\n");
        return -1;
    }
    return mtd_read(handle, offset, length, buffer) ? 0 : -1;
}

int flash_write(const void* buffer, int handle, std::uint32_t offset, std::uint32_t length,
                bool show_progress) {
    FlashGeometry geometry{};
    if (!flash_get_geometry(handle, &geometry)) return -1;
    if (!usable_erase_size(geometry.erase_size)) {
        std::printf("Flash Write unsupported erase size.\n");
        return -1;
    }
    if (!range_fits(geometry, offset, length)) {
        std::puts(FLASH_WRITE_PAST_END);
        return -1;
    }

    const std::uint32_t es = geometry.erase_size;
    const std::uint32_t shift = geometry.erase_shift;
    const std::uint32_t mask = es - 1;
    const std::uint32_t first = offset & ~mask;
    // The range fits in the partition, so the end of its last block lies
    // within 32 bits; only an empty range needs care: at a block boundary it
    // touches no block, inside a block it touches that one.
    std::uint32_t blocks;
    if (length == 0) {
        blocks = offset == first ? 0 : 1;
    } else {
        const std::uint32_t last = ((offset + length - 1) & ~mask) + mask;
        blocks = static_cast<std::uint32_t>((std::uint64_t{last} - first + 1) >> shift);
    }

    std::unique_ptr<std::uint8_t[]> scratch(new (std::nothrow) std::uint8_t[std::size_t{es} + WRITE_PIECE]);
    if (!scratch) {
        std::printf("Flash Write malloc failed\n");
        return -1;
    }
    if (show_progress) std::printf("     ");

    const auto* data = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t pos = first;
    std::uint32_t done = 0;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        std::uint32_t dst;
        std::uint32_t n;
        if (blocks == 1) {
            dst = offset - first;
            n = length;
        } else if (i == 0) {
            dst = offset - first;
            n = es - dst;
        } else if (i == blocks - 1) {
            dst = 0;
            n = length - done;
        } else {
            dst = 0;
            n = es;
        }

        // A short read leaves the rest of the block as zeros.
        std::memset(scratch.get(), 0, es);
        if (!mtd_read(handle, pos, es, scratch.get())) {
            write_failed("mtd read failed.");
            return -1;
        }
        if (n != 0) std::memcpy(scratch.get() + dst, data + done, n);
        if (!mtd_erase(handle, pos, es)) {
            write_failed("mtd erase failed.");
            return -1;
        }
        for (std::uint32_t k = 0; k < es; k += WRITE_PIECE) {
            if (!mtd_write(handle, pos + k, WRITE_PIECE, scratch.get() + k)) {
                write_failed("mtd write failed.");
                return -1;
            }
        }
        if (show_progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(std::uint64_t{i} * 100 / blocks), '%');
            std::fflush(stdout);
        }
        pos += es;
        done += n;
    }

    if (show_progress) std::printf("\b\b\b\b100%c\n", '%');
    return 0;
}
