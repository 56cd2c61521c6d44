// Raw flash partitions: the handle table, the geometry query, plain reads and
// the erase-block rewrite with its progress display.
#include "platform/flash.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>

#include "console/console_io.hpp"
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
void write_failed(const char* what) { std::printf("Flash Write %s\n\n", what); }

bool read_range(int handle, std::uint32_t offset, std::uint32_t length, void* buffer) {
    return device_io::mtd_pread(handle, buffer, length, static_cast<off_t>(offset)) >= 0;
}

bool write_range(int handle, std::uint32_t offset, std::uint32_t length, const void* buffer) {
    return device_io::mtd_pwrite(handle, buffer, length, static_cast<off_t>(offset)) >= 0;
}

bool erase_range(int handle, std::uint32_t offset, std::uint32_t length) {
    return device_io::mtd_erase(handle, offset, length) >= 0;
}

// The refusals of flash_write, each with its line: an erase size the block
// rewrite cannot use, or a range that passes the end of the partition.
bool write_possible(const FlashGeometry& geometry, std::uint32_t offset, std::uint32_t length) {
    if (!usable_erase_size(geometry.erase_size)) {
        std::printf("Flash Write unsupported erase size.\n");
        return false;
    }
    if (!range_fits(geometry, offset, length)) {
        std::puts(FLASH_WRITE_PAST_END);
        return false;
    }
    return true;
}

// The erase blocks a write touches: where the first starts and how many.
struct BlockSpan {
    std::uint32_t first;
    std::uint32_t count;
};

BlockSpan blocks_touched(const FlashGeometry& geometry, std::uint32_t offset,
                         std::uint32_t length) {
    const std::uint32_t mask = geometry.erase_size - 1;
    const std::uint32_t first = offset & ~mask;
    // The range fits in the partition, so the end of its last block lies
    // within 32 bits; only an empty range needs care: at a block boundary it
    // touches no block, inside a block it touches that one.
    if (length == 0) return {first, offset == first ? 0u : 1u};
    const std::uint32_t last = ((offset + length - 1) & ~mask) + mask;
    return {first,
            static_cast<std::uint32_t>((std::uint64_t{last} - first + 1) >> geometry.erase_shift)};
}

// Where the new bytes go in block `i` of the span, and how many there are.
struct BlockPart {
    std::uint32_t at;      // offset in the block
    std::uint32_t length;  // bytes of new data in the block
};

BlockPart part_in_block(const BlockSpan& span, std::uint32_t i, std::uint32_t es,
                        std::uint32_t offset, std::uint32_t left) {
    if (span.count == 1) return {offset - span.first, left};
    if (i == 0) return {offset - span.first, es - (offset - span.first)};
    if (i == span.count - 1) return {0, left};
    return {0, es};
}

// Reads the block, puts the new bytes in, erases it and writes it back in
// WRITE_PIECE pieces. False after printing which step failed.
bool rewrite_block(int handle, std::uint32_t block_start, std::uint32_t es, std::uint8_t* scratch,
                   const std::uint8_t* data, BlockPart part) {
    // A short read leaves the rest of the block as zeros.
    std::memset(scratch, 0, es);
    if (!read_range(handle, block_start, es, scratch)) {
        write_failed("mtd read failed.");
        return false;
    }
    if (part.length != 0) std::memcpy(scratch + part.at, data, part.length);
    if (!erase_range(handle, block_start, es)) {
        write_failed("mtd erase failed.");
        return false;
    }
    for (std::uint32_t k = 0; k < es; k += WRITE_PIECE) {
        if (!write_range(handle, block_start + k, WRITE_PIECE, scratch + k)) {
            write_failed("mtd write failed.");
            return false;
        }
    }
    return true;
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

int flash_read(void* buffer, int handle, std::uint32_t offset, std::uint32_t length) {
    FlashGeometry geometry{};
    if (!flash_get_geometry(handle, &geometry)) return -1;
    if (!range_fits(geometry, offset, length)) {
        std::printf("Flash Read range past end of partition.\n");
        return -1;
    }
    return read_range(handle, offset, length, buffer) ? 0 : -1;
}

int flash_write(const void* buffer, int handle, std::uint32_t offset, std::uint32_t length,
                bool show_progress) {
    FlashGeometry geometry{};
    if (!flash_get_geometry(handle, &geometry) || !write_possible(geometry, offset, length)) {
        return -1;
    }
    const std::uint32_t es = geometry.erase_size;
    std::unique_ptr<std::uint8_t[]> scratch(new (std::nothrow)
                                                std::uint8_t[std::size_t{es} + WRITE_PIECE]);
    if (!scratch) {
        std::printf("Flash Write malloc failed\n");
        return -1;
    }
    if (show_progress) std::printf("     ");

    const BlockSpan span = blocks_touched(geometry, offset, length);
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t done = 0;
    for (std::uint32_t i = 0; i < span.count; ++i) {
        const BlockPart part = part_in_block(span, i, es, offset, length - done);
        const std::uint32_t block_start = span.first + i * es;
        if (!rewrite_block(handle, block_start, es, scratch.get(), data + done, part)) return -1;
        if (show_progress)
            print_progress(static_cast<unsigned>(std::uint64_t{i} * 100 / span.count));
        done += part.length;
    }
    if (show_progress) print_progress_done();
    return 0;
}
