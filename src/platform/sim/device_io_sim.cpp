// The device seam on the simulated board: file-backed NOR flash, the I2C bus
// with its three devices, and the scaled clock (see sim_board.hpp).
#include "platform/device_io.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sim/sim_board.hpp"
#include "platform/unique_fd.hpp"

using sim_board::internal::Board;
using sim_board::internal::erase_size_of;
using sim_board::internal::FlashOp;
using sim_board::internal::log_line;
using sim_board::internal::OpenBus;
using sim_board::internal::OpenMtd;
using sim_board::internal::take_flash_op;

namespace {

constexpr int MUX_ADDRESS = 0x71;
constexpr int PREPARE_ADDRESS = 0x4F;
constexpr int SLOT_ADDRESS = 0x54;
constexpr std::uint8_t SLOT_CHANNEL_MASK = 0x40;  // channel 6
constexpr std::size_t CHUNK = 4096;

int fail(int error) {
    errno = error;
    return -1;
}

OpenMtd* find_mtd(Board& b, int fd) {
    auto it = b.mtds.find(fd);
    return it == b.mtds.end() ? nullptr : &it->second;
}

OpenBus* find_bus(Board& b, int fd) {
    auto it = b.buses.find(fd);
    return it == b.buses.end() ? nullptr : &it->second;
}

bool writable(const OpenMtd& mtd) {
    int mode = mtd.flags & O_ACCMODE;
    return mode == O_WRONLY || mode == O_RDWR;
}

// Size of the partition file behind `fd`, or -1.
long long partition_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

// Whether `address` acknowledges on `bus` right now.
bool answers(const Board& b, const OpenBus& bus, int address) {
    if (bus.bus != 0) return false;
    if (address == MUX_ADDRESS || address == PREPARE_ADDRESS) return true;
    return address == SLOT_ADDRESS && (b.mux_mask & SLOT_CHANNEL_MASK) != 0;
}

// The register file of 0x54, created with 256 zero bytes when missing.
int open_register_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST) return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        return -1;
    }
    if (::ftruncate(fd, 256) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool register_file_read(const Board& b, std::uint8_t reg, std::uint8_t* value) {
    const UniqueFd file(open_register_file(b.settings.slot_register));
    if (!file.valid()) return false;
    std::uint8_t byte = 0;  // a short file reads as zeros
    if (::pread(file.get(), &byte, 1, reg) < 0) return false;
    *value = byte;
    return true;
}

bool register_file_write(const Board& b, std::uint8_t reg, std::uint8_t value) {
    const UniqueFd file(open_register_file(b.settings.slot_register));
    if (!file.valid()) return false;
    return ::pwrite(file.get(), &value, 1, reg) == 1;
}

void scaled_sleep(double seconds) {
    if (!(seconds > 0.0)) return;
    if (seconds > 1e9) seconds = 1e9;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec > 999999999L) ts.tv_nsec = 999999999L;
    ::nanosleep(&ts, nullptr);  // a signal ends the wait early, as on the switch
}

}  // namespace

namespace device_io {

int mtd_open(const char* path, int flags) {
    Board& b = sim_board::internal::board();
    constexpr std::string_view prefix = "/dev/mtd-";
    std::string_view p(path);
    if (p.substr(0, prefix.size()) != prefix) return fail(ENOENT);
    std::string name(p.substr(prefix.size()));
    if (name.empty() || name.find('/') != std::string::npos) return fail(ENOENT);
    std::string file = b.settings.flash_dir + "/" + name + ".bin";
    int fd = ::open(file.c_str(), (flags & O_ACCMODE) | O_CLOEXEC);
    if (fd < 0) return -1;
    b.mtds[fd] = OpenMtd{name, flags};
    return fd;
}

int mtd_get_info(int fd, MtdInfo* info) {
    Board& b = sim_board::internal::board();
    ++b.counts.info;
    OpenMtd* mtd = find_mtd(b, fd);
    if (mtd == nullptr) return fail(EBADF);
    if (take_flash_op(b, mtd->name, FlashOp::info)) return fail(EIO);
    long long size = partition_size(fd);
    if (size < 0) return -1;
    if (size > 0xFFFFFFFFll) return fail(EFBIG);
    info->size = static_cast<std::uint32_t>(size);
    info->erasesize = erase_size_of(b, mtd->name);
    return 0;
}

ssize_t mtd_pread(int fd, void* buf, std::size_t len, off_t offset) {
    Board& b = sim_board::internal::board();
    ++b.counts.read;
    OpenMtd* mtd = find_mtd(b, fd);
    if (mtd == nullptr) return fail(EBADF);
    if (take_flash_op(b, mtd->name, FlashOp::read)) return fail(EIO);
    return ::pread(fd, buf, len, offset);
}

ssize_t mtd_pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
    Board& b = sim_board::internal::board();
    ++b.counts.write;
    OpenMtd* mtd = find_mtd(b, fd);
    if (mtd == nullptr || !writable(*mtd)) return fail(EBADF);
    // Both counters move on every write, so that N means the same for both.
    const bool fails = take_flash_op(b, mtd->name, FlashOp::write);
    const bool lost = take_flash_op(b, mtd->name, FlashOp::lose);
    if (fails) return fail(EIO);
    long long size = partition_size(fd);
    if (size < 0) return -1;
    if (offset < 0) return fail(EINVAL);
    if (static_cast<long long>(offset) >= size) return fail(ENOSPC);
    if (static_cast<unsigned long long>(len) > static_cast<unsigned long long>(size - offset))
        len = static_cast<std::size_t>(size - offset);

    // NOR can only clear bits: refuse the whole write if any byte needs a
    // 0 bit turned back into 1.
    const auto* data = static_cast<const std::uint8_t*>(buf);
    std::uint8_t old[CHUNK];
    for (std::size_t done = 0; done < len;) {
        std::size_t n = len - done < CHUNK ? len - done : CHUNK;
        ssize_t got = ::pread(fd, old, n, offset + static_cast<off_t>(done));
        if (got != static_cast<ssize_t>(n)) return fail(EIO);
        for (std::size_t i = 0; i < n; ++i) {
            if ((data[done + i] & ~old[i]) != 0) {
                log_line("flash %s write over unerased data at 0x%llx", mtd->name.c_str(),
                         static_cast<unsigned long long>(offset) + done + i);
                return fail(EIO);
            }
        }
        done += n;
    }
    if (lost) return static_cast<ssize_t>(len);  // a write the chip silently dropped
    return ::pwrite(fd, buf, len, offset);
}

int mtd_erase(int fd, std::uint32_t start, std::uint32_t length) {
    Board& b = sim_board::internal::board();
    ++b.counts.erase;
    OpenMtd* mtd = find_mtd(b, fd);
    if (mtd == nullptr || !writable(*mtd)) return fail(EBADF);
    // Both counters move on every erase, so that N means the same for both.
    const bool fails = take_flash_op(b, mtd->name, FlashOp::erase);
    const bool skipped = take_flash_op(b, mtd->name, FlashOp::noerase);
    if (fails) return fail(EIO);
    long long size = partition_size(fd);
    if (size < 0) return -1;
    std::uint32_t es = erase_size_of(b, mtd->name);
    if (es == 0 || start % es != 0 || length % es != 0 ||
        static_cast<long long>(start) + length > size)
        return fail(EINVAL);
    if (skipped) return 0;  // an erase the chip reported done but never did
    std::uint8_t ones[CHUNK];
    std::memset(ones, 0xFF, sizeof ones);
    for (std::uint32_t done = 0; done < length;) {
        std::uint32_t n = length - done < CHUNK ? length - done : static_cast<std::uint32_t>(CHUNK);
        if (::pwrite(fd, ones, n, static_cast<off_t>(start) + done) != static_cast<ssize_t>(n))
            return fail(EIO);
        done += n;
    }
    return 0;
}

int i2c_open(const char* path) {
    Board& b = sim_board::internal::board();
    std::string_view p(path);
    int bus = p == "/dev/i2c-0" ? 0 : p == "/dev/i2c-1" ? 1 : -1;
    if (bus < 0 || (bus == 0 && b.settings.no_bus)) {
        log_line("open %s failed", path);
        return fail(ENOENT);
    }
    // A real descriptor, so that the number is unique and closing it is safe.
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log_line("open %s failed", path);
        return -1;
    }
    b.buses[fd] = OpenBus{bus, std::string(p), 0};
    log_line("open %s", path);
    return fd;
}

int i2c_close(int fd) {
    Board& b = sim_board::internal::board();
    OpenBus* bus = find_bus(b, fd);
    if (bus == nullptr) return fail(EBADF);
    log_line("close %s", bus->path.c_str());
    b.buses.erase(fd);
    return ::close(fd);
}

int i2c_set_target(int fd, int address) {
    Board& b = sim_board::internal::board();
    OpenBus* bus = find_bus(b, fd);
    if (bus == nullptr) return fail(EBADF);
    if (address < 0 || address > 0x7F) return fail(EINVAL);
    if (b.settings.busy_target[static_cast<std::size_t>(address)]) {
        log_line("target 0x%02x failed", address);
        return fail(EBUSY);
    }
    bus->target = address;
    log_line("target 0x%02x", address);
    return 0;
}

int i2c_write_byte(int fd, std::uint8_t value) {
    Board& b = sim_board::internal::board();
    OpenBus* bus = find_bus(b, fd);
    if (bus == nullptr) return fail(EBADF);
    if (!answers(b, *bus, bus->target)) {
        log_line("write 0x%02x 0x%02x failed", bus->target, value);
        return fail(ENXIO);
    }
    // The multiplexer takes the byte as its channel mask; the two devices take
    // it as a register pointer, which nothing here depends on.
    if (bus->target == MUX_ADDRESS) b.mux_mask = value;
    log_line("write 0x%02x 0x%02x", bus->target, value);
    return 0;
}

int i2c_smbus_write_byte_data(int fd, std::uint8_t reg, std::uint8_t value) {
    Board& b = sim_board::internal::board();
    OpenBus* bus = find_bus(b, fd);
    if (bus == nullptr) return fail(EBADF);
    int target = bus->target;
    int error = 0;
    if (!answers(b, *bus, target)) {
        error = ENXIO;
    } else if (target == SLOT_ADDRESS) {
        if (b.settings.failing_write[reg] || !register_file_write(b, reg, value)) error = EIO;
    } else if (target == PREPARE_ADDRESS) {
        b.device_4f[reg] = value;
    } else {
        b.mux_mask = value;  // the multiplexer keeps the last byte it receives
    }
    if (error != 0) {
        log_line("smbus-write 0x%02x reg 0x%02x 0x%02x failed", target, reg, value);
        return fail(error);
    }
    log_line("smbus-write 0x%02x reg 0x%02x 0x%02x", target, reg, value);
    return 0;
}

int i2c_smbus_read_byte_data(int fd, std::uint8_t reg) {
    Board& b = sim_board::internal::board();
    OpenBus* bus = find_bus(b, fd);
    if (bus == nullptr) return fail(EBADF);
    int target = bus->target;
    int error = 0;
    std::uint8_t value = 0;
    if (!answers(b, *bus, target)) {
        error = ENXIO;
    } else if (target == SLOT_ADDRESS) {
        if (b.settings.failing_read[reg] || !register_file_read(b, reg, &value)) error = EIO;
    } else if (target == PREPARE_ADDRESS) {
        value = b.device_4f[reg];
    } else {
        value = b.mux_mask;
    }
    if (error != 0) {
        log_line("smbus-read 0x%02x reg 0x%02x failed", target, reg);
        return fail(error);
    }
    log_line("smbus-read 0x%02x reg 0x%02x -> 0x%02x", target, reg, value);
    return value;
}

void wait_microseconds(unsigned long microseconds) {
    const Board& b = sim_board::internal::board();
    log_line("wait %luus", microseconds);
    scaled_sleep(static_cast<double>(microseconds) / 1e6 * b.settings.time_scale);
}

void wait_seconds(unsigned seconds) {
    const Board& b = sim_board::internal::board();
    log_line("wait %us", seconds);
    scaled_sleep(static_cast<double>(seconds) * b.settings.time_scale);
}

}  // namespace device_io
