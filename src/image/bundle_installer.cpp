// The bundle installer: walks a downloaded bundle, verifies every sub-image
// and writes it to its flash partition, its slot file or the boot archive.
#include "image/bundle_installer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "boot/launch.hpp"
#include "boot/slot_boot.hpp"
#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "image/install_plan.hpp"
#include "image/installed_headers.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"

namespace {

// Sub-images are checksummed, copied and read back this many bytes at a time,
// so that memory does not grow with the size of an application image. It is
// also the slot file's write size, after which progress is shown.
constexpr std::size_t CHUNK_SIZE = 0x10000;

constexpr const char* DEFAULT_SLOT_DIRECTORY = "/user/images";
std::string slot_directory = DEFAULT_SLOT_DIRECTORY;

// Owns a file descriptor; close_now reports the result of close.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    bool close_now() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

using Bytes = std::unique_ptr<std::uint8_t[]>;

Bytes allocate(std::size_t size) { return Bytes(new (std::nothrow) std::uint8_t[size]); }

// Exactly `length` bytes at `offset`; false on an error or an early end.
bool read_at(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        buffer += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool write_all(int fd, const std::uint8_t* buffer, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, buffer, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        buffer += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// The state of one walk over a bundle.
struct Walk {
    int fd;
    std::uint64_t file_size;
    bool skip_same_version;
    int slot;
    bool installed;
    std::uint8_t* chunk;  // CHUNK_SIZE bytes
};

// One sub-image: where it starts, its first 24 bytes and what they describe.
struct SubImage {
    std::uint64_t offset;
    std::uint8_t header[IMAGE_PROBE_SIZE];
    SubImageExtent extent;

    std::uint32_t total() const { return static_cast<std::uint32_t>(extent.total_length); }
    std::uint32_t stored_crc() const { return load_be32(header); }
    std::uint32_t len_field() const { return load_be32(header + 4); }
};

enum class Step { next, failed, launch };

Step refuse_read(const char* name) {
    std::printf("Read error on %s image, voiding download\n", name);
    return Step::failed;
}

// The checksum of a sub-image part, bytes [begin, end) of the sub-image,
// given a piece of it that starts at sub-image offset `at`. The crc covers
// everything from byte 4 on.
std::uint32_t crc_update(std::uint32_t crc, const std::uint8_t* piece, std::size_t length,
                         std::uint64_t at) {
    if (at >= 4) return image_crc32(piece, length, crc);
    const std::size_t skip = static_cast<std::size_t>(4 - at);
    if (length <= skip) return crc;
    return image_crc32(piece + skip, length - skip, crc);
}

// Checksums the sub-image straight from the bundle, chunk by chunk.
bool checksum_in_bundle(const Walk& w, const SubImage& s, std::uint32_t* crc_out) {
    std::uint32_t crc = IMAGE_CRC_INIT;
    const std::uint64_t total = s.total();
    for (std::uint64_t at = 0; at < total;) {
        const std::size_t n = static_cast<std::size_t>(
            total - at < CHUNK_SIZE ? total - at : CHUNK_SIZE);
        if (!read_at(w.fd, w.chunk, n, s.offset + at)) return false;
        crc = crc_update(crc, w.chunk, n, at);
        at += n;
    }
    *crc_out = crc;
    return true;
}

enum class CopyResult { ok, read_failed, write_failed };

// Copies bytes [from, T) of the sub-image from the bundle to `out` and
// checksums it on the way, so that what is written is what is verified.
// With `show_progress`, prints the percentage of the sub-image done after
// every chunk.
CopyResult copy_sub_image(const Walk& w, const SubImage& s, std::uint32_t from, int out,
                          bool show_progress, std::uint32_t* crc_out) {
    std::uint32_t crc = IMAGE_CRC_INIT;
    const std::uint64_t total = s.total();
    for (std::uint64_t at = 0; at < total;) {
        const std::size_t n = static_cast<std::size_t>(
            total - at < CHUNK_SIZE ? total - at : CHUNK_SIZE);
        if (!read_at(w.fd, w.chunk, n, s.offset + at)) return CopyResult::read_failed;
        crc = crc_update(crc, w.chunk, n, at);
        if (at + n > from) {
            const std::size_t skip = at >= from ? 0 : static_cast<std::size_t>(from - at);
            if (!write_all(out, w.chunk + skip, n - skip)) return CopyResult::write_failed;
        }
        at += n;
        if (show_progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(at * 100 / total), '%');
            std::fflush(stdout);
        }
    }
    *crc_out = crc;
    return CopyResult::ok;
}

// Reads `length` bytes back from the start of the partition and compares
// them with what was written.
bool flash_holds(int handle, const std::uint8_t* expected, std::uint32_t length,
                 std::uint8_t* chunk) {
    for (std::uint32_t at = 0; at < length;) {
        const std::uint32_t n = length - at < CHUNK_SIZE ? length - at
                                                         : static_cast<std::uint32_t>(CHUNK_SIZE);
        if (flash_read(chunk, handle, at, n) != 0) return false;
        if (std::memcmp(chunk, expected + at, n) != 0) return false;
        at += n;
    }
    return true;
}

// Prints the reason of a refusal or a skip and says how the walk goes on.
Step follow(const SubImageDecision& d) {
    std::fputs(d.reason.c_str(), stdout);
    return d.decision == Decision::refuse ? Step::failed : Step::next;
}

// What the walk knows of a sub-image before its type is handled; false when
// its bytes cannot be read for the checksum.
bool gather_facts(const Walk& w, const SubImage& s, SubImageFacts* facts) {
    facts->extent = s.extent;
    facts->stored_crc = s.stored_crc();
    facts->len_field = s.len_field();
    facts->slot = w.slot;
    facts->skip_same_version = w.skip_same_version;
    facts->same_as_installed = [&w, &s] {
        return same_as_installed_in(slot_directory.c_str(), s.header, w.slot) == 1;
    };
    return s.extent.status != ExtentStatus::ok || checksum_in_bundle(w, s, &facts->computed_crc);
}

Step install_flash_image(Walk& w, const SubImage& s, const InstallRule& rule) {
    std::fputs(rule.label, stdout);
    std::fflush(stdout);
    // Checksum and size limit are settled before the image buffer is taken.
    SubImageFacts facts;
    if (!gather_facts(w, s, &facts)) return refuse_read(rule.name);
    const SubImageDecision d = decide_sub_image(facts);
    if (d.decision != Decision::install) return follow(d);

    const std::uint32_t total = s.total();
    Bytes image = allocate(total);
    if (!image) {
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(total));
        return Step::failed;
    }
    if (!read_at(w.fd, image.get(), total, s.offset)) return refuse_read(rule.name);
    // The bytes about to be written are the ones checked, not merely the
    // ones that were in the file a moment ago.
    const std::uint32_t crc = image_crc32(image.get() + 4, total - 4, IMAGE_CRC_INIT);
    if (crc != s.stored_crc()) {
        std::printf(rule.crc_message, crc);
        return Step::failed;
    }

    const std::uint8_t* data = image.get();
    const std::uint32_t length = written_length(rule, s.extent);
    if (rule.payload_only) data += s.extent.header_length;
    // flash_write refuses a partition too small before it erases anything,
    // and prints the cause of any failure itself.
    const int handle = flash_handle(rule.partition);
    if (flash_write(data, handle, 0, length, true) < 0 ||
        !flash_holds(handle, data, length, w.chunk)) {
        std::puts(rule.failure_line);
        return Step::failed;
    }
    w.installed = true;
    if (rule.target == InstallTarget::rescue_partition) std::puts("done");
    return Step::next;
}

// The slot question: 1 or 2 from the first character of the answer, else 0.
// A read that ends without a line (end of input, Ctrl-C) is 0 as well: the
// download is booted directly.
int ask_for_slot() {
    std::fputs("Install image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char answer[32];
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
        std::clearerr(stdin);
        return 0;
    }
    if (answer[0] == '1') return 1;
    if (answer[0] == '2') return 2;
    return 0;
}

// Writes the payload to the application archive; the caller launches it.
Step prepare_direct_boot(const Walk& w, const SubImage& s) {
    std::puts("Booting downloaded image");
    UniqueFd archive(::open(APP_ARCHIVE_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!archive.valid()) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return Step::failed;
    }
    std::uint32_t crc = 0;
    const CopyResult copied =
        copy_sub_image(w, s, s.extent.header_length, archive.get(), false, &crc);
    if (copied == CopyResult::read_failed) {
        ::unlink(APP_ARCHIVE_PATH);
        return refuse_read("APPLICATION");
    }
    if (copied == CopyResult::write_failed || !archive.close_now()) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return Step::failed;
    }
    if (crc != s.stored_crc()) {
        // The bundle changed since it was checked: launch nothing from it.
        ::unlink(APP_ARCHIVE_PATH);
        std::printf("Bad crc for APPLICATION: 0x%08x, voiding download\n", crc);
        return Step::failed;
    }
    std::puts("Image ready to boot...");
    return Step::launch;
}

// Reads the slot file back: it must be the sub-image, T bytes whose crc
// word and checksum agree with the header.
bool slot_file_holds(const char* path, const SubImage& s, std::uint8_t* chunk) {
    UniqueFd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    const std::uint64_t total = s.total();
    std::uint64_t at = 0;
    std::uint32_t crc = IMAGE_CRC_INIT;
    for (;;) {
        const ssize_t n = ::read(in.get(), chunk, CHUNK_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        const std::size_t got = static_cast<std::size_t>(n);
        if (got > total - at) return false;
        if (at < 4) {
            const std::size_t head = static_cast<std::size_t>(4 - at);
            if (std::memcmp(chunk, s.header + at, got < head ? got : head) != 0) return false;
        }
        crc = crc_update(crc, chunk, got, at);
        at += got;
    }
    return at == total && crc == s.stored_crc();
}

Step slot_update_failed(int slot, int error) {
    std::printf("Image%d update failed (err %d)\n", slot, error);
    return Step::failed;
}

Step store_in_slot(Walk& w, const SubImage& s, SubImageFacts facts) {
    const int slot = w.slot;
    std::printf("Installing image as image%d: ", slot);
    facts.slot = slot;
    const SubImageDecision d = decide_sub_image(facts);
    if (d.decision != Decision::install) return follow(d);
    struct stat st{};
    if (::stat(slot_directory.c_str(), &st) != 0) ::mkdir(slot_directory.c_str(), 0755);

    const std::string path = slot_directory + "/image" + std::to_string(slot);
    UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.valid()) return slot_update_failed(slot, errno);

    std::fputs("    ", stdout);
    std::uint32_t crc = 0;
    const CopyResult copied = copy_sub_image(w, s, 0, out.get(), true, &crc);
    if (copied == CopyResult::read_failed) return slot_update_failed(slot, EIO);
    if (copied == CopyResult::write_failed) return slot_update_failed(slot, errno);
    std::printf("\b\b\b\b100%c\n", '%');
    if (::fsync(out.get()) != 0 || !out.close_now()) return slot_update_failed(slot, errno);
    // What went into the file must be what was checked, and must read back.
    if (crc != s.stored_crc() || !slot_file_holds(path.c_str(), s, w.chunk)) {
        return slot_update_failed(slot, EIO);
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    w.installed = true;
    set_selected_slot(static_cast<std::uint8_t>(slot));
    return Step::next;
}

Step install_application(Walk& w, const SubImage& s, const InstallRule& rule) {
    std::fputs(rule.label, stdout);
    std::fflush(stdout);
    SubImageFacts facts;
    if (!gather_facts(w, s, &facts)) return refuse_read(rule.name);
    const SubImageDecision d = decide_sub_image(facts);
    if (d.decision != Decision::install) return follow(d);
    if (w.slot == 0) w.slot = ask_for_slot();
    if (w.slot == 0) return prepare_direct_boot(w, s);
    return store_in_slot(w, s, facts);
}

// The walk over the bundle. Sets *launch when the archive of a direct boot is
// ready; by then every file and buffer of the walk is released.
int walk_bundle(const char* path, bool skip_same_version, int slot, bool* launch) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st{};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Can't open image file %s\n", path);
        return 0;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    Bytes chunk = allocate(CHUNK_SIZE);
    if (!chunk) {
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(CHUNK_SIZE));
        return 0;
    }
    Walk w{fd.get(), static_cast<std::uint64_t>(st.st_size), skip_same_version,
           slot == 1 || slot == 2 ? slot : 0, false, chunk.get()};

    Step step = Step::next;
    const auto probe = [&w](std::uint64_t at, std::uint8_t* first) {
        return read_at(w.fd, first, IMAGE_PROBE_SIZE, at);
    };
    walk_sub_images(w.file_size, probe, [&](std::uint64_t at, const std::uint8_t* first,
                                            const SubImageExtent& extent) {
        SubImage s{};
        s.offset = at;
        std::memcpy(s.header, first, IMAGE_PROBE_SIZE);
        s.extent = extent;
        if (const InstallRule* rule = install_rule_of(extent.type)) {
            step = rule->target == InstallTarget::application ? install_application(w, s, *rule)
                                                              : install_flash_image(w, s, *rule);
        } else {
            // Skipped without a message; what holds no sub-image ends the
            // walk (the padding a serial transfer leaves after the last one).
            SubImageFacts facts;
            facts.extent = extent;
            const SubImageDecision d = decide_sub_image(facts);
            if (d.decision == Decision::end_walk) return false;
            step = follow(d);
        }
        return step == Step::next;
    });
    if (step == Step::failed) return 0;
    if (step == Step::launch) {
        *launch = true;
        return 0;
    }
    std::puts(WALK_DONE_LINE);
    if (w.installed) return 1;
    std::puts(NOTHING_INSTALLED_LINE);
    return 0;
}

}  // namespace

int install_bundle(const char* path, bool skip_same_version, int slot) {
    bool launch = false;
    const int result = walk_bundle(path, skip_same_version, slot, &launch);
    std::fflush(stdout);
    if (launch) launch_application(false);
    return result;
}

void set_slot_directory_for_testing(const char* dir) {
    slot_directory = dir != nullptr && *dir != '\0' ? dir : DEFAULT_SLOT_DIRECTORY;
}
