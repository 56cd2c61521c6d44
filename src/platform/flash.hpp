// Raw flash partitions: the six MTD handles, the geometry query, plain reads
// and the erase-block rewrite with its progress display.
#pragma once
#include <cstdint>

enum class FlashPartition : int { uboot = 0, ubootenv, devicetree, kernel, rfs, rescue };
inline constexpr int FLASH_PARTITION_COUNT = 6;
// Indexed by FlashPartition.
inline constexpr const char* FLASH_DEVICE_PATHS[FLASH_PARTITION_COUNT] = {
    "/dev/mtd-uboot",  "/dev/mtd-ubootenv", "/dev/mtd-devicetree",
    "/dev/mtd-kernel", "/dev/mtd-rfs",      "/dev/mtd-rescue",
};
inline constexpr const char* FLASH_DEVICE_PREFIX = "/dev/mtd-";
// What flash_write prints (as a line) for a range that does not fit.
inline constexpr const char* FLASH_WRITE_PAST_END = "Flash Write range past end of partition.";

struct FlashGeometry {
    std::uint32_t block_count;
    std::uint32_t erase_size;
    std::uint32_t erase_shift;
    std::uint32_t total_size;
};

// Device path of a partition ("/dev/mtd-kernel", ...).
const char* flash_device_path(FlashPartition partition);

// Opens the six devices in table order; a failed open leaves -1. Always 1.
int open_flash_partitions();
// The handle of a partition, as opened by open_flash_partitions (-1 before).
int flash_handle(FlashPartition partition);

int flash_get_geometry(int handle, FlashGeometry* geometry);  // 1 ok, 0 failed

int flash_read(void* buffer, int handle, std::uint32_t offset, std::uint32_t length);  // 0 / -1
int flash_write(const void* buffer, int handle, std::uint32_t offset, std::uint32_t length,
                bool show_progress);  // 0 / -1
