// The one loop that reads a sub-image in bounded pieces, computes its CRC-32
// on the way and hands its bytes on: the boot, the rescue image, the
// installer and the read-backs all go through it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>

// Size of the pieces: memory does not grow with the size of an image.
inline constexpr std::size_t STREAM_CHUNK_SIZE = 64 * 1024;

// The CRC of a sub-image covers everything after its crc word.
inline constexpr std::uint32_t IMAGE_CRC_FROM = 4;

// Fills `into` with the bytes at `offset` of a source; false when it cannot
// give all of them.
using StreamRead = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

// Takes the next bytes of a stream; false when they could not be stored.
using StreamWrite = std::function<bool(std::span<const std::uint8_t> bytes)>;

// The bytes read: `length` bytes from `offset` of the source.
struct StreamRange {
    std::uint64_t offset;
    std::uint32_t length;
};

// Where the bytes go: those from `from` (counted from the start of the
// range) to its end are handed to `write`. An empty `write` only checksums.
struct StreamSink {
    StreamWrite write;
    std::uint32_t from = 0;
};

enum class StreamStatus { done, read_failed, write_failed, no_buffer };

struct StreamResult {
    StreamStatus status;
    std::uint32_t crc;  // of the range from IMAGE_CRC_FROM on; complete only when done

    // Every byte was read and handed on, and the CRC is `expected`.
    bool sound(std::uint32_t expected) const {
        return status == StreamStatus::done && crc == expected;
    }
};

// The buffer of one stream's pieces: STREAM_CHUNK_SIZE bytes, or none when
// memory ran out. One buffer serves any number of streams, one at a time.
class StreamBuffer {
public:
    StreamBuffer();
    explicit operator bool() const { return bytes_ != nullptr; }
    std::span<std::uint8_t> bytes() const { return {bytes_.get(), bytes_ ? STREAM_CHUNK_SIZE : 0}; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
};

// Reads the range piece by piece, in order, each piece once: computes the
// image CRC-32 of range bytes [IMAGE_CRC_FROM, length) and hands range bytes
// [sink.from, length) to the sink. Stops at the first failed read or write.
StreamResult stream_image(const StreamRead& read, StreamRange range, const StreamSink& sink,
                          const StreamBuffer& buffer);

// The sources and sinks the loader streams between.
StreamRead read_from_fd(int fd);             // positioned reads (pread)
StreamRead read_from_file(std::FILE* file);  // seek, then read; left just after the last piece
StreamRead read_from_flash(int handle);      // flash_read, which refuses a range past the partition
StreamWrite write_to_fd(int fd);
StreamWrite write_to_file(std::FILE* file);
