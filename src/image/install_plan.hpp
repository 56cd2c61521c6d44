// The installer's decision step, apart from the doing: the walk over a
// bundle, where each type of sub-image goes and its limit, and what the
// installer does with a sub-image given what is known of it. The loader's
// installer and `slotimg plan` both decide here, so they cannot disagree.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "image/image_header.hpp"
#include "platform/flash.hpp"

enum class InstallTarget : std::uint8_t {
    boot_loader,
    device_tree,
    kernel,
    rfs,
    rescue_partition,
    application,  // a slot file, or a direct boot; the operator chooses
};

// Everything the installer knows about one type of sub-image.
struct InstallRule {
    std::uint32_t type;
    InstallTarget target;
    const char* label;         // printed before anything else about the sub-image
    const char* name;          // as the header, read and crc messages call the type
    const char* crc_message;   // takes the computed crc
    const char* size_message;  // takes the measured size and the limit; null: no limit
    std::uint32_t limit;       // inclusive
    bool measured_by_len;      // the header's len field is measured, not the total length
    bool payload_only;         // the payload is written, not the whole sub-image
    FlashPartition partition;  // flash types: where they are written
    const char* failure_line;  // flash types: a write that failed
    // Flash types: where the installed header lies in the partition. The
    // boot loader's partition holds only its payload, which carries a copy
    // of the header at byte 240; the others hold the sub-image whole.
    std::uint32_t installed_header_offset;
};

std::span<const InstallRule> install_rules();
// The rule of a type code (bit 31 clear); nullptr for an unknown type.
const InstallRule* install_rule_of(std::uint32_t type);
// Where a target is, in words: "kernel partition", "application slot", ...
const char* install_target_text(InstallTarget target);

// The same-version rule over two 16-byte headers of one type: equal, but for
// a boot loader the crc word does not count (its header copy lies inside the
// payload the crc covers, so it cannot hold the image's own crc).
bool same_installed_header(const std::uint8_t* installed, const std::uint8_t* header);

// What the installer knows of a sub-image when it decides. What costs a
// look at the switch is asked for only when the decision reaches it, in the
// order the installer has always looked: extent, crc, limit, same version,
// room in the partition.
struct SubImageFacts {
    SubImageExtent extent{};
    std::uint32_t stored_crc = 0;  // header bytes 0-3
    std::uint32_t len_field = 0;   // header bytes 4-7
    // Over bytes 4 to T - 1; looked at only when the extent is sound.
    std::uint32_t computed_crc = 0;
    int slot = 0;  // 0: the operator is asked where an application goes
    bool skip_same_version = false;
    // Asked only with skip_same_version (and for an application, a slot);
    // none given: not the same.
    std::function<bool()> same_as_installed;
    // A flash type's partition size, when it is known before the write (to
    // slotimg): what flash_write will refuse is refused here. None given, or
    // no answer: the write finds out.
    std::function<std::optional<std::uint32_t>()> partition_size;
};

enum class Decision : std::uint8_t {
    install,            // an application with slot 0: ask the operator first
    skip_same_version,  // the reason is printed, the walk goes on
    skip_unknown,       // silently; the walk goes on
    end_walk,           // what is left holds no sub-image (padding): the walk is over
    refuse,             // the reason is printed and the install fails here
};

enum class CrcVerdict : std::uint8_t { unchecked, good, bad };

struct SubImageDecision {
    const InstallRule* rule = nullptr;  // null for an unknown type
    Decision decision = Decision::refuse;
    CrcVerdict crc = CrcVerdict::unchecked;
    std::string reason;  // the console text of a refusal or a skip, newline included
};

// An application with slot 0 is decided again once the operator has
// chosen a slot: only then can it be the same version as installed.
SubImageDecision decide_sub_image(const SubImageFacts& facts);

const char* decision_text(Decision decision);
const char* crc_verdict_text(CrcVerdict verdict);

// How many bytes go to the target: the payload or the whole sub-image.
std::uint32_t written_length(const InstallRule& rule, const SubImageExtent& extent);
// The size the limit is compared with: the header's len field or the total.
std::uint32_t measured_length(const InstallRule& rule, std::uint32_t len_field,
                              const SubImageExtent& extent);

// The walk over a bundle of `size` bytes. At each start it reads the first
// bytes with probe(offset, bytes) (false: they cannot be read, the walk is
// over), checks the extent and hands the sub-image to
// visit(offset, bytes, extent), which says whether to go on. It ends when
// fewer than IMAGE_PROBE_SIZE bytes remain, or at an extent that is not
// sound (nothing after it can be found). Every step moves on by at least 16
// bytes, so it always ends.
template <class Probe, class Visit>
void walk_sub_images(std::uint64_t size, Probe&& probe, Visit&& visit) {
    std::uint64_t offset = 0;
    while (size - offset >= IMAGE_PROBE_SIZE) {
        std::uint8_t first[IMAGE_PROBE_SIZE];
        if (!probe(offset, first)) return;
        const SubImageExtent extent = check_subimage_extent(first, size - offset);
        if (!visit(offset, static_cast<const std::uint8_t*>(first), extent)) return;
        if (extent.status != ExtentStatus::ok) return;
        offset += extent.total_length;
    }
}

// The same walk over a bundle that is already in memory.
template <class Visit>
void walk_sub_images(std::span<const std::uint8_t> bundle, Visit&& visit) {
    const auto probe = [bundle](std::uint64_t at, std::uint8_t* first) {
        std::memcpy(first, bundle.data() + at, IMAGE_PROBE_SIZE);
        return true;
    };
    walk_sub_images(bundle.size(), probe, visit);
}

// What the installer prints once the walk has reached the end of the file,
// and whether it then succeeds.
inline constexpr const char* WALK_DONE_LINE = "File processed";
inline constexpr const char* NOTHING_INSTALLED_LINE = "ERROR: No valid image found";
