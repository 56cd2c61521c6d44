// The one loop that reads a sub-image in bounded pieces, with its sources and sinks.
#include "image/image_stream.hpp"

#include <sys/types.h>

#include <algorithm>
#include <limits>
#include <new>

#include "image/image_header.hpp"
#include "platform/flash.hpp"
#include "platform/unique_fd.hpp"

StreamBuffer::StreamBuffer() : bytes_(new (std::nothrow) std::uint8_t[STREAM_CHUNK_SIZE]) {}

StreamResult stream_image(const StreamRead& read, StreamRange range, const StreamSink& sink,
                          const StreamBuffer& buffer) {
    if (!buffer) return {StreamStatus::no_buffer, IMAGE_CRC_INIT};
    std::uint32_t crc = IMAGE_CRC_INIT;
    for (std::uint32_t done = 0; done < range.length;) {
        const std::uint32_t end =
            done + std::min<std::uint32_t>(STREAM_CHUNK_SIZE, range.length - done);
        const std::span<std::uint8_t> piece = buffer.bytes().first(end - done);
        if (!read(range.offset + done, piece)) return {StreamStatus::read_failed, crc};
        if (end > IMAGE_CRC_FROM) {
            const std::uint32_t from = std::max(done, IMAGE_CRC_FROM) - done;
            crc = image_crc32(piece.data() + from, piece.size() - from, crc);
        }
        if (sink.write && end > sink.from) {
            const std::uint32_t from = std::max(done, sink.from) - done;
            if (!sink.write(piece.subspan(from))) return {StreamStatus::write_failed, crc};
        }
        done = end;
    }
    return {StreamStatus::done, crc};
}

StreamRead read_from_fd(int fd) {
    return [fd](std::uint64_t offset, std::span<std::uint8_t> into) {
        return read_all_at(fd, into.data(), into.size(), offset);
    };
}

StreamRead read_from_file(std::FILE* file) {
    return [file](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
        if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
        return std::fread(into.data(), 1, into.size(), file) == into.size();
    };
}

StreamRead read_from_flash(int handle) {
    return [handle](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset > std::numeric_limits<std::uint32_t>::max()) return false;
        return flash_read(into.data(), handle, static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(into.size())) == 0;
    };
}

StreamWrite write_to_fd(int fd) {
    return [fd](std::span<const std::uint8_t> bytes) {
        return write_all(fd, bytes.data(), bytes.size());
    };
}

StreamWrite write_to_file(std::FILE* file) {
    return [file](std::span<const std::uint8_t> bytes) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    };
}
