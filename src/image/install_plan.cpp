// The installer's decision step: the rules of each type and the decision over
// what is known of a sub-image, with the exact texts the console shows.
#include "image/install_plan.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "image/byte_order.hpp"

namespace {

constexpr InstallRule RULES[] = {
    {IMAGE_TYPE_BOOTLOADER, InstallTarget::boot_loader, "Installing Boot Loader: ", "UBOOT",
     "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%d > %d)\n", 0x80000, true, true, FlashPartition::uboot,
     "Uboot image update failed", BOOTLOADER_HEADER_COPY_OFFSET},
    {IMAGE_TYPE_KERNEL, InstallTarget::kernel, "Installing Kernel: ", "KERNEL",
     "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%d > %d)\n", 0x300000, false, false,
     FlashPartition::kernel, "kernel image update failed", 0},
    {IMAGE_TYPE_ROOTFS, InstallTarget::rfs, "Installing Root Filesystem: ", "RFS",
     "Bad crc for RFS: 0x%08x, voiding download\n", "RFS image is too big for flash (%d > %d)\n",
     0xF00000, false, false, FlashPartition::rfs, "RFS image update failed", 0},
    {IMAGE_TYPE_DEVICETREE, InstallTarget::device_tree, "Installing Device Tree: ", "DFT",
     "Bad crc for DFT: 0x%08x, voiding download\n", "DFT image is too big for flash (%d > %d)\n",
     0x40000, false, false, FlashPartition::devicetree, "DFT image update failed", 0},
    {IMAGE_TYPE_DIAGNOSTICS, InstallTarget::rescue_partition, "Installing Diagnostics: ",
     "DIAGNOSTICS IMAGE", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%d > %d)\n", 0xA00000, false, false, FlashPartition::rescue,
     "DIAGS image update failed", 0},
    {IMAGE_TYPE_APPLICATION, InstallTarget::application, "Installing Application: ", "APPLICATION",
     "Bad crc for APPLICATION: 0x%08x, voiding download\n", nullptr, 0, false, false,
     FlashPartition::uboot, nullptr, 0},
};

std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* text, ...) {
    char line[160];
    va_list args;
    va_start(args, text);
    std::vsnprintf(line, sizeof line, text, args);
    va_end(args);
    return line;
}

SubImageDecision refused(SubImageDecision d, std::string reason) {
    d.decision = Decision::refuse;
    d.reason = std::move(reason);
    return d;
}

// Skipped without a message. Past the end of the file it is the padding a
// serial transfer leaves after the last sub-image: the walk is over. Lengths
// that describe nothing leave the walk no way to tell where anything after
// them starts.
SubImageDecision decide_unknown(const SubImageFacts& f) {
    SubImageDecision d;
    switch (f.extent.status) {
    case ExtentStatus::ok: d.decision = Decision::skip_unknown; break;
    case ExtentStatus::truncated: d.decision = Decision::end_walk; break;
    case ExtentStatus::invalid:
        return refused(d, format("Bad header for type 0x%08x: %s, voiding download\n",
                                 static_cast<unsigned>(f.extent.type),
                                 extent_problem_text(f.extent.status)));
    }
    return d;
}

// After the extent, the crc and the limit: the same-version skip and the
// room in the partition.
SubImageDecision decide_target(SubImageDecision d, const SubImageFacts& f) {
    const InstallRule& rule = *d.rule;
    d.decision = Decision::install;
    if (rule.target == InstallTarget::application) {
        if (f.slot != 0 && f.skip_same_version && f.same_as_installed && f.same_as_installed()) {
            d.decision = Decision::skip_same_version;
            d.reason =
                format("Image%d has same version as existing image. Skipping update...\n", f.slot);
        }
        return d;
    }
    if (f.skip_same_version && f.same_as_installed && f.same_as_installed()) {
        d.decision = Decision::skip_same_version;
        d.reason = "Image has same version as existing image. Skipping update...\n";
        return d;
    }
    // flash_write refuses what does not fit before it erases anything.
    const std::optional<std::uint32_t> room =
        f.partition_size ? f.partition_size() : std::optional<std::uint32_t>();
    if (room && written_length(rule, f.extent) > *room) {
        return refused(d, format("%s\n%s\n", FLASH_WRITE_PAST_END, rule.failure_line));
    }
    return d;
}

}  // namespace

std::span<const InstallRule> install_rules() { return RULES; }

const InstallRule* install_rule_of(std::uint32_t type) {
    for (const InstallRule& rule : RULES) {
        if (rule.type == type) return &rule;
    }
    return nullptr;
}

const char* install_target_text(InstallTarget target) {
    switch (target) {
    case InstallTarget::boot_loader: return "boot loader partition";
    case InstallTarget::device_tree: return "device tree partition";
    case InstallTarget::kernel: return "kernel partition";
    case InstallTarget::rfs: return "rfs partition";
    case InstallTarget::rescue_partition: return "rescue partition";
    case InstallTarget::application: return "application slot";
    }
    return "?";
}

const char* decision_text(Decision decision) {
    switch (decision) {
    case Decision::install: return "install";
    case Decision::skip_same_version: return "skip as same version";
    case Decision::skip_unknown: return "skip unknown type";
    case Decision::end_walk: return "end of walk";
    case Decision::refuse: return "refuse and stop";
    }
    return "?";
}

const char* crc_verdict_text(CrcVerdict verdict) {
    switch (verdict) {
    case CrcVerdict::unchecked: return "unchecked";
    case CrcVerdict::good: return "good";
    case CrcVerdict::bad: return "bad";
    }
    return "?";
}

bool same_installed_header(const std::uint8_t* installed, const std::uint8_t* header) {
    const std::uint32_t type = image_type_of(load_be32(header + 8));
    const std::size_t skip = type == IMAGE_TYPE_BOOTLOADER ? 4 : 0;
    return std::memcmp(installed + skip, header + skip, IMAGE_FIXED_HEADER_SIZE - skip) == 0;
}

std::uint32_t written_length(const InstallRule& rule, const SubImageExtent& extent) {
    return rule.payload_only ? extent.payload_length
                             : static_cast<std::uint32_t>(extent.total_length);
}

std::uint32_t measured_length(const InstallRule& rule, std::uint32_t len_field,
                              const SubImageExtent& extent) {
    return rule.measured_by_len ? len_field : static_cast<std::uint32_t>(extent.total_length);
}

SubImageDecision decide_sub_image(const SubImageFacts& f) {
    SubImageDecision d;
    d.rule = install_rule_of(f.extent.type);
    if (d.rule == nullptr) return decide_unknown(f);
    const InstallRule& rule = *d.rule;
    if (f.extent.status != ExtentStatus::ok) {
        return refused(d, format("Bad header for %s: %s, voiding download\n", rule.name,
                                 extent_problem_text(f.extent.status)));
    }
    d.crc = f.computed_crc == f.stored_crc ? CrcVerdict::good : CrcVerdict::bad;
    if (d.crc == CrcVerdict::bad) return refused(d, format(rule.crc_message, f.computed_crc));
    const std::uint32_t measured = measured_length(rule, f.len_field, f.extent);
    if (rule.size_message != nullptr && measured > rule.limit) {
        return refused(
            d, format(rule.size_message, static_cast<int>(measured), static_cast<int>(rule.limit)));
    }
    return decide_target(d, f);
}
