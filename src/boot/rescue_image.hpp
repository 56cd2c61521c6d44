// Bounded-memory reading behind the rescue-partition boot: checking the rescue
// sub-image while streaming its payload out, and copying the debugger out of a slot file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>

#include "image/image_stream.hpp"
#include "platform/flash.hpp"

// Where a sub-image is read from, in pieces of at most STREAM_CHUNK_SIZE.
// `size` is the number of readable bytes; nothing at or past it is ever
// asked for.
struct ImageSource {
    StreamRead read;
    std::uint64_t size;
};

// A flash partition as an ImageSource: reads go through flash_read, and the
// size is the partition's total size. None when the geometry cannot be
// queried (flash_get_geometry has printed why).
std::optional<ImageSource> flash_image_source(FlashPartition partition);

enum class RescueImageStatus {
    sound,      // an application or diagnostics image whose CRC matched
    not_found,  // the type at offset 0 is neither application nor diagnostics
    corrupt,    // lengths invalid or past the end, a failed read, or a wrong CRC
};

struct RescueImage {
    RescueImageStatus status;
    std::uint32_t type;            // magic with bit 31 cleared
    std::uint32_t header_length;   // H
    std::uint32_t payload_length;  // P
    std::uint32_t total_length;    // T = H + P (valid only when sound)
};

// Reads the sub-image at offset 0 of `source` in pieces, computing its CRC-32
// on the way and writing its payload to `payload_out` as it goes. Unless the result is sound,
// `payload_out` is left empty (truncated to 0 bytes) and positioned at 0.
RescueImage stream_rescue_image(const ImageSource& source, std::FILE* payload_out);

// Copies the whole sub-image described by `image` (T bytes from offset 0,
// header and payload) from `source` to `out`, in pieces, checking the CRC-32
// again on the way. True when every byte was read and written and the CRC
// still matches.
bool copy_rescue_image(const ImageSource& source, const RescueImage& image, std::FILE* out);

// Magic words accepted on the debugger's slot file, compared whole.
inline constexpr std::uint32_t DEBUGGER_MAGIC_APPLICATION = 0x014F5249;
inline constexpr std::uint32_t DEBUGGER_MAGIC_DIAGNOSTICS = 0x064F5249;

// Copies the compressed debugger out of the slot file `slot_path` (the `len`
// bytes after its 16-byte header, stopping early at the end of the file) into
// `gz_path`, with the messages of the extraction; `other_slot` is the number
// shown in them. True when the copy was made.
bool copy_debugger_image(const char* slot_path, const char* gz_path, int other_slot);
