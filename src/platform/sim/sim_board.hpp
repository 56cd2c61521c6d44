// The simulated board behind the device seam (device_io_sim.cpp): its
// configuration, read from the environment or set by unit tests, and the
// bus log. This is the one place where both are documented.
//
// ENVIRONMENT (read once, on the first use of the seam)
//
//   SLOTBOOT_SIM_FLASH_DIR     directory of partition files; the device
//                              "/dev/mtd-NAME" is the file $DIR/NAME.bin
//                              (uboot ubootenv devicetree kernel rfs rescue).
//                              Partition size = file size. Default "/sim/flash".
//   SLOTBOOT_SIM_ERASE_SIZE    erase size in bytes of every partition, optionally
//                              followed by per-partition overrides:
//                              "65536" or "65536,kernel=131072,rfs=16384".
//                              Numbers are decimal or 0x hex. Default 65536.
//                              Any value is accepted (also 0 or one that is no
//                              power of two) so that the loader's handling of
//                              odd geometries can be exercised.
//   SLOTBOOT_SIM_SLOT_REGISTER path of the 256-byte register file of I2C device
//                              0x54 (register r at byte r); created filled with
//                              zeros on first access if missing.
//                              Default "/sim/slot-register.bin".
//   SLOTBOOT_SIM_BUS_LOG       path of the plain-text log to which every bus
//                              transaction and every wait is appended; unset
//                              or empty = no log.
//   SLOTBOOT_SIM_TIME_SCALE    factor applied to every wait (0 = no waiting,
//                              0.01 = a hundredth). Default 1.
//   SLOTBOOT_SIM_FAULTS        comma-separated faults:
//                                flash:NAME:read:N   the Nth pread of partition
//                                flash:NAME:erase:N  NAME (erase, pwrite,
//                                flash:NAME:write:N  MEMGETINFO) fails with EIO,
//                                flash:NAME:info:N   counting from 1
//                                flash:NAME:lose:N   the Nth pwrite of NAME reports
//                                                    success and stores nothing
//                                flash:NAME:noerase:N  the Nth MEMERASE of NAME
//                                                    reports success and erases
//                                                    nothing (a worn block)
//                                i2c:nobus           opening /dev/i2c-0 fails
//                                                    with ENOENT
//                                i2c:write:REG       every SMBus write / read of
//                                i2c:read:REG        register REG of 0x54 fails
//                                                    with EIO (REG decimal or 0x hex)
//                                i2c:target:ADDR     every I2C_SLAVE request for
//                                                    ADDR fails with EBUSY (a kernel
//                                                    driver owns it) and leaves the
//                                                    previous target in place
//
// A value that does not parse is reported on stderr once ("sim_board: ...")
// and the default is used for that variable.
//
// BUS LOG (one line per event, appended; tests parse it)
//
//   open /dev/i2c-0                    i2c_open succeeded (path as given)
//   open /dev/i2c-0 failed             i2c_open failed
//   close /dev/i2c-0                   i2c_close of an open bus
//   target 0x71                        I2C_SLAVE set on a bus
//   target 0x54 failed                 ... refused (the target stays as it was)
//   write 0x71 0x40                    plain one-byte write to the target
//   write 0x54 0x40 failed             ... that nobody acknowledged
//   smbus-write 0x4f reg 0x87 0x55     SMBus byte-data write: device, register, value
//   smbus-write 0x54 reg 0x3a 0x04 failed
//   smbus-read 0x54 reg 0x00 -> 0x02   SMBus byte-data read and the byte returned
//   smbus-read 0x54 reg 0x00 failed
//   wait 100000us                      wait_microseconds (the unscaled duration)
//   wait 1s                            wait_seconds (the unscaled duration)
//   flash NAME write over unerased data at 0xOFFSET
//                                      a flash write that would have to set bits
//
// Numbers are lower-case hex with two digits for addresses, registers and
// bytes, and plain lower-case hex for flash offsets. Requests on a descriptor
// that is not an open simulated bus (for instance the -1 of a failed open)
// fail with EBADF and put nothing on the log: they never reach a bus.
//
// THE BOARD
//
// Flash behaves like NOR: MEMERASE fills 0xFF and must cover whole erase
// blocks inside the partition (else EINVAL); a write may only clear bits, so
// a write that would turn a 0 bit into 1 fails with EIO, writes nothing and
// is logged; a write at or past the end fails with ENOSPC and one that runs
// past it is cut short. MEMGETINFO reports size = file size and the configured
// erase size. The files are opened without O_SYNC (the requested flags are
// kept for mtd_open_flags).
//
// Bus 0 carries the multiplexer 0x71 (a one-byte write sets its channel mask;
// it starts with all channels off), the device 0x4F (256 registers kept in
// memory) and the boot-slot device 0x54, which answers only while the mask
// routes channel 6 (bit 0x40). Bus 1 (/dev/i2c-1) has no devices. A
// transaction to a device that does not answer fails with ENXIO.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim_board {

// The same things as the environment variables above, in the same syntax.
struct Config {
    std::string flash_dir = "/sim/flash";
    std::string erase_size = "65536";
    std::string slot_register = "/sim/slot-register.bin";
    std::string bus_log;  // empty: no log
    double time_scale = 1.0;
    std::string faults;  // empty: none
};

// Forgets the board (closes every descriptor the simulation opened, clears
// the fault counters, the multiplexer and device 0x4F) and sets it up from
// `config`. Returns false and changes nothing when a text does not parse.
bool configure(const Config& config);

// Forgets the board as configure does; the next use of the seam reads the
// environment again.
void reset();

// The configuration that the environment describes (defaults for anything
// unset; `ok` false when a value did not parse).
Config config_from_environment(bool* ok);

// Flash requests that reached the seam since the last configure or reset,
// whatever their handle and outcome.
struct FlashCounts {
    unsigned long info = 0;
    unsigned long read = 0;
    unsigned long erase = 0;
    unsigned long write = 0;
};
FlashCounts flash_counts();

// The flags given to mtd_open for a descriptor it returned, or -1.
int mtd_open_flags(int fd);

}  // namespace sim_board

// The board's state, shared with device_io_sim.cpp, which carries out the
// device requests on it. Nothing above the seam uses this.
namespace sim_board::internal {

enum class FlashOp : int { info, read, erase, write, lose, noerase };

struct FlashFault {
    std::string partition;
    FlashOp op;
    unsigned long nth;  // 1 = the first such request fails
};

// A Config, parsed.
struct Settings {
    std::string flash_dir;
    std::uint32_t erase_size = 65536;
    std::map<std::string, std::uint32_t> erase_size_for;  // per-partition overrides
    std::string slot_register;
    std::string bus_log;
    double time_scale = 1.0;
    std::vector<FlashFault> flash_faults;
    bool no_bus = false;
    std::vector<bool> failing_write = std::vector<bool>(256, false);  // by register of 0x54
    std::vector<bool> failing_read = std::vector<bool>(256, false);
    std::vector<bool> busy_target = std::vector<bool>(128, false);  // by address
};

// Parses `config`; on failure returns false with a reason in *error.
bool parse_config(const Config& config, Settings* out, std::string* error);

struct OpenMtd {
    std::string name;  // partition name, the NAME of /dev/mtd-NAME
    int flags;         // as given to mtd_open
};

struct OpenBus {
    int bus;           // 0 or 1
    std::string path;  // as given to i2c_open
    int target;        // address set by I2C_SLAVE (0 until then)
};

struct Board {
    Settings settings;
    std::map<int, OpenMtd> mtds;                                     // by descriptor
    std::map<int, OpenBus> buses;                                    // by descriptor
    std::map<std::pair<std::string, int>, unsigned long> flash_ops;  // (partition, op) -> count
    FlashCounts counts;
    std::uint8_t mux_mask = 0;         // channels routed by 0x71
    std::uint8_t device_4f[256] = {};  // registers of 0x4F
};

// The board, set up from the environment on first use.
Board& board();

std::uint32_t erase_size_of(const Board& board, const std::string& partition);

// Counts one request of `op` on `partition`; true when it is the one that
// must fail.
bool take_flash_op(Board& board, const std::string& partition, FlashOp op);

// Appends one line to the bus log (nothing when there is no log).
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim_board::internal
