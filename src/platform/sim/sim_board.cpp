// The simulated board's configuration (environment or unit test), its state
// between device requests, fault counting and the bus log.
#include "platform/sim/sim_board.hpp"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "platform/parse_number.hpp"

namespace sim_board {
namespace internal {
namespace {

// Splits `text` at every `separator`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool parse_erase_sizes(std::string_view text, Settings* out, std::string* error) {
    for (std::string_view piece : split(text, ',')) {
        std::uint64_t value = 0;
        std::size_t eq = piece.find('=');
        std::string_view name =
            eq == std::string_view::npos ? std::string_view{} : piece.substr(0, eq);
        std::string_view number = eq == std::string_view::npos ? piece : piece.substr(eq + 1);
        if ((eq != std::string_view::npos && name.empty()) ||
            !parse_number(number, 0xFFFFFFFFull, &value)) {
            *error = "bad erase size '" + std::string(piece) + "'";
            return false;
        }
        if (eq == std::string_view::npos)
            out->erase_size = static_cast<std::uint32_t>(value);
        else
            out->erase_size_for[std::string(name)] = static_cast<std::uint32_t>(value);
    }
    return true;
}

bool parse_fault(std::string_view piece, Settings* out) {
    std::vector<std::string_view> f = split(piece, ':');
    std::uint64_t number = 0;
    if (f.size() == 2 && f[0] == "i2c" && f[1] == "nobus") {
        out->no_bus = true;
        return true;
    }
    if (f.size() == 3 && f[0] == "i2c" && f[1] == "target") {
        if (!parse_number(f[2], 0x7F, &number)) return false;
        out->busy_target[number] = true;
        return true;
    }
    if (f.size() == 3 && f[0] == "i2c" && (f[1] == "write" || f[1] == "read")) {
        if (!parse_number(f[2], 255, &number)) return false;
        (f[1] == "write" ? out->failing_write : out->failing_read)[number] = true;
        return true;
    }
    if (f.size() == 4 && f[0] == "flash" && !f[1].empty()) {
        FlashOp op;
        if (f[2] == "read")
            op = FlashOp::read;
        else if (f[2] == "erase")
            op = FlashOp::erase;
        else if (f[2] == "write")
            op = FlashOp::write;
        else if (f[2] == "info")
            op = FlashOp::info;
        else if (f[2] == "lose")
            op = FlashOp::lose;
        else if (f[2] == "noerase")
            op = FlashOp::noerase;
        else
            return false;
        if (!parse_number(f[3], 0xFFFFFFFFull, &number) || number == 0) return false;
        out->flash_faults.push_back({std::string(f[1]), op, static_cast<unsigned long>(number)});
        return true;
    }
    return false;
}

bool parse_faults(std::string_view text, Settings* out, std::string* error) {
    for (std::string_view piece : split(text, ',')) {
        if (piece.empty()) continue;
        if (!parse_fault(piece, out)) {
            *error = "bad fault '" + std::string(piece) + "'";
            return false;
        }
    }
    return true;
}

struct BoardHolder {
    Board board;
    bool ready = false;
};

BoardHolder& holder() {
    static BoardHolder h;
    return h;
}

// Closes every descriptor the simulation handed out and clears the state.
void forget_board() {
    BoardHolder& h = holder();
    for (const auto& [fd, mtd] : h.board.mtds) ::close(fd);
    for (const auto& [fd, bus] : h.board.buses) ::close(fd);
    h.board = Board{};
    h.ready = false;
}

}  // namespace

bool parse_config(const Config& config, Settings* out, std::string* error) {
    Settings s;
    s.flash_dir = config.flash_dir;
    s.slot_register = config.slot_register;
    s.bus_log = config.bus_log;
    if (!(config.time_scale >= 0.0) || !std::isfinite(config.time_scale)) {
        *error = "bad time scale";
        return false;
    }
    s.time_scale = config.time_scale;
    if (!parse_erase_sizes(config.erase_size, &s, error)) return false;
    if (!parse_faults(config.faults, &s, error)) return false;
    *out = std::move(s);
    return true;
}

Board& board() {
    BoardHolder& h = holder();
    if (!h.ready) {
        bool ok = true;
        Config config = config_from_environment(&ok);
        std::string error;
        if (!parse_config(config, &h.board.settings, &error)) {
            // config_from_environment already fell back to defaults for
            // anything it could not read; this only guards the parse.
            std::fprintf(stderr, "sim_board: %s\n", error.c_str());
            parse_config(Config{}, &h.board.settings, &error);
        }
        h.ready = true;
    }
    return h.board;
}

std::uint32_t erase_size_of(const Board& b, const std::string& partition) {
    auto it = b.settings.erase_size_for.find(partition);
    return it == b.settings.erase_size_for.end() ? b.settings.erase_size : it->second;
}

bool take_flash_op(Board& b, const std::string& partition, FlashOp op) {
    unsigned long count = ++b.flash_ops[{partition, static_cast<int>(op)}];
    for (const FlashFault& fault : b.settings.flash_faults) {
        if (fault.op == op && fault.nth == count && fault.partition == partition) return true;
    }
    return false;
}

void log_line(const char* format, ...) {
    const std::string& path = board().settings.bus_log;
    if (path.empty()) return;
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t len = static_cast<std::size_t>(n) < sizeof line - 1 ? static_cast<std::size_t>(n)
                                                                    : sizeof line - 2;
    line[len++] = '\n';
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per line, so that lines of other writers never interleave.
    ssize_t written = ::write(fd, line, len);
    (void)written;
    ::close(fd);
}

}  // namespace internal

Config config_from_environment(bool* ok) {
    Config config;
    *ok = true;
    auto text = [](const char* name) -> const char* {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0' ? value : nullptr;
    };
    auto complain = [ok](const char* name, const char* value) {
        std::fprintf(stderr, "sim_board: ignoring %s='%s'\n", name, value);
        *ok = false;
    };
    if (const char* v = text("SLOTBOOT_SIM_FLASH_DIR")) config.flash_dir = v;
    if (const char* v = text("SLOTBOOT_SIM_SLOT_REGISTER")) config.slot_register = v;
    if (const char* v = text("SLOTBOOT_SIM_BUS_LOG")) config.bus_log = v;

    internal::Settings scratch;
    std::string error;
    if (const char* v = text("SLOTBOOT_SIM_ERASE_SIZE")) {
        if (internal::parse_erase_sizes(v, &scratch, &error))
            config.erase_size = v;
        else
            complain("SLOTBOOT_SIM_ERASE_SIZE", v);
    }
    if (const char* v = text("SLOTBOOT_SIM_FAULTS")) {
        if (internal::parse_faults(v, &scratch, &error))
            config.faults = v;
        else
            complain("SLOTBOOT_SIM_FAULTS", v);
    }
    if (const char* v = text("SLOTBOOT_SIM_TIME_SCALE")) {
        char* end = nullptr;
        errno = 0;
        double scale = std::strtod(v, &end);
        if (errno == 0 && end != v && *end == '\0' && scale >= 0.0 && std::isfinite(scale))
            config.time_scale = scale;
        else
            complain("SLOTBOOT_SIM_TIME_SCALE", v);
    }
    return config;
}

bool configure(const Config& config) {
    internal::Settings settings;
    std::string error;
    if (!internal::parse_config(config, &settings, &error)) return false;
    internal::forget_board();
    internal::BoardHolder& h = internal::holder();
    h.board.settings = std::move(settings);
    h.ready = true;
    return true;
}

void reset() { internal::forget_board(); }

FlashCounts flash_counts() { return internal::board().counts; }

int mtd_open_flags(int fd) {
    const internal::Board& b = internal::board();
    auto it = b.mtds.find(fd);
    return it == b.mtds.end() ? -1 : it->second.flags;
}

}  // namespace sim_board
