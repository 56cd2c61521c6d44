// What the switch's installer would do with a bundle, decided by the
// installer's own decision step (image/install_plan): one row per sub-image
// in walk order, and the outcome.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_header.hpp"
#include "image/install_plan.hpp"
#include "platform/flash.hpp"

using HeaderBytes = std::array<std::uint8_t, IMAGE_FIXED_HEADER_SIZE>;

// What a switch holds, as far as the installer's decisions go.
struct SwitchState {
    std::array<std::optional<std::uint32_t>, FLASH_PARTITION_COUNT> partition_size;
    // Installed headers: where each flash type keeps its own, by partition
    // (all zero when unreadable), and the first bytes of slot files 1 and 2.
    std::array<HeaderBytes, FLASH_PARTITION_COUNT> flash_header{};
    std::array<std::optional<HeaderBytes>, 2> slot_header;
};

struct PlanOptions {
    int slot = 0;  // the installer's slot argument: 0 asks the operator
    bool skip_same_version = false;
    const SwitchState* installed = nullptr;  // null: nothing known of the switch
};

struct PlanRow {
    std::uint64_t offset = 0;
    SubImageExtent extent{};
    ImageHeader header{};
    std::optional<bool> same_as_installed;  // known with a switch (and a slot)
    std::optional<std::uint32_t> partition_size;
    SubImageDecision decision;
    bool reached = true;     // false: after the walk has stopped
    bool asks_slot = false;  // the first application while no slot is chosen
};

struct BundlePlan {
    std::uint64_t file_size = 0;
    int slot = 0;  // as given
    std::vector<PlanRow> rows;
    int result = 0;                       // what the installer returns: 1 installed, 0 not
    std::optional<std::size_t> stops_at;  // the row whose refusal ends the walk
};

BundlePlan plan_bundle(std::span<const std::uint8_t> file, const PlanOptions& options);

// Every sub-image is installed (or skipped as the same version): the switch
// refuses nothing and skips no unknown type.
bool installs_whole(const BundlePlan& plan);
// One line per reason the bundle would not install whole; empty when it would.
std::vector<std::string> plan_problems(const BundlePlan& plan);

std::string format_plan_text(const BundlePlan& plan, std::string_view name);
std::string format_plan_json(const BundlePlan& plan, std::string_view name,
                             std::string_view switch_dir);
