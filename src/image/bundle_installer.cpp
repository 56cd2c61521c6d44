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
#include <optional>
#include <string>

#include "console/console_io.hpp"
#include "image/byte_order.hpp"
#include "image/image_header.hpp"
#include "image/image_stream.hpp"
#include "image/install_plan.hpp"
#include "image/installed_headers.hpp"
#include "platform/boot_slot_register.hpp"
#include "platform/flash.hpp"
#include "platform/switch_paths.hpp"
#include "platform/unique_fd.hpp"

namespace {

// The state of one walk over a bundle.
struct Walk {
    int fd;
    std::uint64_t file_size;
    bool skip_same_version;
    int slot;
    bool installed;
    const StreamBuffer& buffer;  // every sub-image is read through it, piece by piece
    const SlotQuestion& ask_slot;

    StreamRead bundle() const { return read_from_fd(fd); }
};

// One sub-image: where it starts, its first 24 bytes and what they describe.
struct SubImage {
    std::uint64_t offset;
    std::uint8_t header[IMAGE_PROBE_SIZE];
    SubImageExtent extent;

    std::uint32_t total() const { return static_cast<std::uint32_t>(extent.total_length); }
    std::uint32_t stored_crc() const { return load_be32(header); }
    std::uint32_t len_field() const { return load_be32(header + 4); }
    StreamRange range() const { return {offset, total()}; }
};

enum class Step { next, failed, launch };

Step refuse_read(const char* name) {
    std::printf("Read error on %s image, voiding download\n", name);
    return Step::failed;
}

// Checksums the sub-image straight from the bundle.
bool checksum_in_bundle(const Walk& w, const SubImage& s, std::uint32_t* crc_out) {
    const StreamResult result = stream_image(w.bundle(), s.range(), {}, w.buffer);
    *crc_out = result.crc;
    return result.status == StreamStatus::done;
}

// Reads the whole sub-image into one buffer and checksums exactly those
// bytes, the ones about to be written, not merely the ones that were in the
// file a moment ago. The buffer when its CRC matches; none after the message.
std::unique_ptr<std::uint8_t[]> read_checked_image(const Walk& w, const SubImage& s,
                                                   const InstallRule& rule) {
    const std::uint32_t total = s.total();
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[total]);
    if (!image) {
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(total));
        return nullptr;
    }
    std::uint32_t filled = 0;
    const StreamSink into_image{[&](std::span<const std::uint8_t> bytes) {
        std::memcpy(image.get() + filled, bytes.data(), bytes.size());
        filled += static_cast<std::uint32_t>(bytes.size());
        return true;
    }};
    const StreamResult result = stream_image(w.bundle(), s.range(), into_image, w.buffer);
    if (result.status != StreamStatus::done) {
        refuse_read(rule.name);
        return nullptr;
    }
    if (result.crc != s.stored_crc()) {
        std::printf(rule.crc_message, result.crc);
        return nullptr;
    }
    return image;
}

// Reads `length` bytes back from the start of the partition and compares
// them with what was written.
bool flash_holds(int handle, const std::uint8_t* expected, std::uint32_t length,
                 const StreamBuffer& buffer) {
    std::uint32_t at = 0;
    const StreamSink compare{[&](std::span<const std::uint8_t> bytes) {
        const bool same = std::memcmp(bytes.data(), expected + at, bytes.size()) == 0;
        at += static_cast<std::uint32_t>(bytes.size());
        return same;
    }};
    return stream_image(read_from_flash(handle), {0, length}, compare, buffer).status ==
           StreamStatus::done;
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
    facts->same_as_installed = [&w, &s] { return same_as_installed(s.header, w.slot) == 1; };
    return s.extent.status != ExtentStatus::ok || checksum_in_bundle(w, s, &facts->computed_crc);
}

// Prints the sub-image's label and settles what becomes of it: no step when it
// is to be installed (with its facts filled in), else the step its refusal or
// skip leads to.
std::optional<Step> settle(const Walk& w, const SubImage& s, const InstallRule& rule,
                           SubImageFacts* facts) {
    std::fputs(rule.label, stdout);
    std::fflush(stdout);
    if (!gather_facts(w, s, facts)) return refuse_read(rule.name);
    const SubImageDecision d = decide_sub_image(*facts);
    if (d.decision != Decision::install) return follow(d);
    return std::nullopt;
}

Step install_flash_image(Walk& w, const SubImage& s, const InstallRule& rule) {
    // Checksum and size limit are settled before the image buffer is taken.
    SubImageFacts facts;
    if (const std::optional<Step> step = settle(w, s, rule, &facts)) return *step;

    const std::unique_ptr<std::uint8_t[]> image = read_checked_image(w, s, rule);
    if (!image) return Step::failed;
    const std::uint8_t* data = image.get();
    const std::uint32_t length = written_length(rule, s.extent);
    if (rule.payload_only) data += s.extent.header_length;
    // flash_write refuses a partition too small before it erases anything,
    // and prints the cause of any failure itself.
    const int handle = flash_handle(rule.partition);
    if (flash_write(data, handle, 0, length, true) < 0 ||
        !flash_holds(handle, data, length, w.buffer)) {
        std::puts(rule.failure_line);
        return Step::failed;
    }
    w.installed = true;
    if (rule.target == InstallTarget::rescue_partition) std::puts("done");
    return Step::next;
}

// Writes the payload to the application archive; the caller launches it.
Step prepare_direct_boot(const Walk& w, const SubImage& s) {
    std::puts("Booting downloaded image");
    const std::string archive_path = app_archive_path();
    UniqueFd archive(::open(archive_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!archive.valid()) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return Step::failed;
    }
    const StreamResult copied = stream_image(
        w.bundle(), s.range(), {write_to_fd(archive.get()), s.extent.header_length}, w.buffer);
    if (copied.status == StreamStatus::read_failed) {
        ::unlink(archive_path.c_str());
        return refuse_read("APPLICATION");
    }
    if (copied.status == StreamStatus::write_failed || !archive.close()) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return Step::failed;
    }
    if (copied.crc != s.stored_crc()) {
        // The bundle changed since it was checked: launch nothing from it.
        ::unlink(archive_path.c_str());
        std::printf("Bad crc for APPLICATION: 0x%08x, voiding download\n", copied.crc);
        return Step::failed;
    }
    std::puts("Image ready to boot...");
    return Step::launch;
}

// Reads the slot file back: it must be the sub-image, T bytes whose crc
// word and checksum agree with the header.
bool slot_file_holds(const std::string& path, const SubImage& s, const StreamBuffer& buffer) {
    const UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0 || st.st_size < 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) != s.total()) return false;
    std::uint8_t crc_word[4];
    if (!read_all_at(in.get(), crc_word, sizeof crc_word, 0) ||
        load_be32(crc_word) != s.stored_crc()) {
        return false;
    }
    return stream_image(read_from_fd(in.get()), {0, s.total()}, {}, buffer).sound(s.stored_crc());
}

Step slot_update_failed(int slot, int error) {
    std::printf("Image%d update failed (err %d)\n", slot, error);
    return Step::failed;
}

// Streams the whole sub-image into the slot file, with the progress display.
StreamResult write_slot_file(const Walk& w, const SubImage& s, int out) {
    const StreamWrite to_file = write_to_fd(out);
    const std::uint64_t total = s.total();
    std::uint64_t written = 0;
    const StreamSink with_progress{[&](std::span<const std::uint8_t> bytes) {
        if (!to_file(bytes)) return false;
        written += bytes.size();
        print_progress(static_cast<unsigned>(written * 100 / total));
        return true;
    }};
    std::fputs("    ", stdout);
    return stream_image(w.bundle(), s.range(), with_progress, w.buffer);
}

Step store_in_slot(Walk& w, const SubImage& s, SubImageFacts facts) {
    const int slot = w.slot;
    std::printf("Installing image as image%d: ", slot);
    facts.slot = slot;
    const SubImageDecision d = decide_sub_image(facts);
    if (d.decision != Decision::install) return follow(d);
    const std::string directory = slot_directory_path();
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) ::mkdir(directory.c_str(), 0755);

    const std::string path = slot_file_path(slot);
    UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.valid()) return slot_update_failed(slot, errno);
    const StreamResult written = write_slot_file(w, s, out.get());
    if (written.status == StreamStatus::read_failed) return slot_update_failed(slot, EIO);
    if (written.status == StreamStatus::write_failed) return slot_update_failed(slot, errno);
    print_progress_done();
    if (::fsync(out.get()) != 0 || !out.close()) return slot_update_failed(slot, errno);
    // What went into the file must be what was checked, and must read back.
    if (written.crc != s.stored_crc() || !slot_file_holds(path, s, w.buffer)) {
        return slot_update_failed(slot, EIO);
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    w.installed = true;
    set_selected_slot(static_cast<std::uint8_t>(slot));
    return Step::next;
}

Step install_application(Walk& w, const SubImage& s, const InstallRule& rule) {
    SubImageFacts facts;
    if (const std::optional<Step> step = settle(w, s, rule, &facts)) return *step;
    if (w.slot == 0) w.slot = w.ask_slot();
    if (w.slot == 0) return prepare_direct_boot(w, s);
    return store_in_slot(w, s, facts);
}

// One sub-image of the walk, by its type. An unknown type is skipped without
// a message; at the padding a serial transfer leaves after the last
// sub-image, *end_walk is set: the walk is over, and it went well.
Step install_sub_image(Walk& w, const SubImage& s, bool* end_walk) {
    if (const InstallRule* rule = install_rule_of(s.extent.type)) {
        return rule->target == InstallTarget::application ? install_application(w, s, *rule)
                                                          : install_flash_image(w, s, *rule);
    }
    SubImageFacts facts;
    facts.extent = s.extent;
    const SubImageDecision d = decide_sub_image(facts);
    *end_walk = d.decision == Decision::end_walk;
    return *end_walk ? Step::next : follow(d);
}

// Walks the open bundle to its end, or to the first sub-image that ends it.
Step walk_bundle(Walk& w) {
    Step step = Step::next;
    const auto probe = [&w](std::uint64_t at, std::uint8_t* first) {
        return read_all_at(w.fd, first, IMAGE_PROBE_SIZE, at);
    };
    walk_sub_images(w.file_size, probe,
                    [&](std::uint64_t at, const std::uint8_t* first, const SubImageExtent& extent) {
                        SubImage s{at, {}, extent};
                        std::memcpy(s.header, first, IMAGE_PROBE_SIZE);
                        bool end_walk = false;
                        step = install_sub_image(w, s, &end_walk);
                        return step == Step::next && !end_walk;
                    });
    return step;
}

}  // namespace

InstallOutcome install_bundle(const char* path, bool skip_same_version, int slot,
                              const SlotQuestion& ask_slot) {
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Can't open image file %s\n", path);
        return InstallOutcome::nothing_installed;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    const StreamBuffer buffer;
    if (!buffer) {
        std::printf("Failed to allocate buffer for image (%d)\n",
                    static_cast<int>(STREAM_CHUNK_SIZE));
        return InstallOutcome::nothing_installed;
    }
    Walk w{fd.get(),
           static_cast<std::uint64_t>(st.st_size),
           skip_same_version,
           slot == 1 || slot == 2 ? slot : 0,
           false,
           buffer,
           ask_slot};
    const Step step = walk_bundle(w);
    if (step == Step::failed) return InstallOutcome::nothing_installed;
    if (step == Step::launch) return InstallOutcome::boot_download;
    std::puts(WALK_DONE_LINE);
    if (w.installed) return InstallOutcome::installed;
    std::puts(NOTHING_INSTALLED_LINE);
    return InstallOutcome::nothing_installed;
}
