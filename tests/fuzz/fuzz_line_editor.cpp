// Fuzz target: the line editor over arbitrary key streams. After every key
// the buffer stays NUL-terminated inside its size, the cursor inside the
// text, and a terminal that is sent the editor's output shows exactly the
// text with its cursor at the editing position. read_line is then run over
// the same keys from standard input and must end at the end of the input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "console/keys.hpp"
#include "fuzz_support.hpp"

namespace {

// One terminal line: what the output bytes leave on the screen.
struct Screen {
    std::string cells;
    std::size_t column = 0;
    bool ended = false;  // a newline was sent

    void apply(const std::string& out) {
        for (const char c : out) {
            FUZZ_CHECK(!ended);  // nothing follows the end of the line
            if (c == '\b') {
                FUZZ_CHECK(column > 0);  // never back past the start of the line
                --column;
            } else if (c == '\a') {
                // the bell moves nothing
            } else if (c == '\n') {
                ended = true;
            } else {
                if (column < cells.size()) {
                    cells[column] = c;
                } else {
                    cells.push_back(c);
                }
                ++column;
            }
        }
    }
};

bool printable(unsigned char k) { return (k >= 0x20 && k <= 0x7E) || k >= 0x80; }

void check_buffer(const LineEditor& e, const char* buf, std::size_t size) {
    FUZZ_CHECK(e.buf == buf && e.size == size);
    FUZZ_CHECK(e.length < size);
    FUZZ_CHECK(e.cursor <= e.length);
    FUZZ_CHECK(e.escape >= 0 && e.escape <= 2);
    FUZZ_CHECK(std::strlen(buf) == e.length);  // no NUL inside the text
    for (std::size_t i = e.length; i < size; ++i) FUZZ_CHECK(buf[i] == '\0');
}

std::size_t size_from(std::uint8_t b) { return b >= 0xF0 ? 128 : 1 + b % 20; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        std::fflush(stdout);
        FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;

    // The state machine, key by key. A line that ends starts the next one,
    // with a size taken from the key that follows.
    std::size_t line_size = size_from(data[0]);
    std::unique_ptr<char[]> buf(new char[line_size]);
    std::memset(buf.get(), 'x', line_size);  // start() must clear a prefilled buffer
    LineEditor e;
    e.start(buf.get(), line_size);
    check_buffer(e, buf.get(), line_size);
    Screen screen;
    std::string out;
    for (std::size_t i = 1; i < size; ++i) {
        const unsigned char key = data[i];
        const LineEditor before = e;
        const std::string text_before(buf.get(), e.length);
        out.clear();
        const bool done = e.feed(key, out);
        check_buffer(e, buf.get(), line_size);
        screen.apply(out);

        if (done) {
            FUZZ_CHECK(screen.ended);
            FUZZ_CHECK(std::string(buf.get(), e.length) == text_before);  // ending changes no text
            FUZZ_CHECK(e.broken == (out == " <break>\n"));
            if (++i >= size) break;
            line_size = size_from(data[i]);
            buf.reset(new char[line_size]);
            std::memset(buf.get(), 'y', line_size);
            e.start(buf.get(), line_size);
            check_buffer(e, buf.get(), line_size);
            FUZZ_CHECK(e.cursor == 0 && e.escape == 0 && !e.broken);
            screen = Screen{};
            continue;
        }
        // The terminal shows the text, blanks after it, and its cursor where
        // the editor's is.
        FUZZ_CHECK(screen.cells.size() >= e.length);
        FUZZ_CHECK(screen.cells.compare(0, e.length, buf.get(), e.length) == 0);
        for (std::size_t k = e.length; k < screen.cells.size(); ++k) FUZZ_CHECK(screen.cells[k] == ' ');
        FUZZ_CHECK(screen.column == e.cursor);
        // A printable key in the normal state either goes in or rings.
        if (before.escape == 0 && printable(key)) {
            if (before.length + 1 < line_size) {
                FUZZ_CHECK(e.length == before.length + 1 && e.cursor == before.cursor + 1);
                FUZZ_CHECK(static_cast<unsigned char>(buf[before.cursor]) == key);
            } else {
                FUZZ_CHECK(out == "\a" && e.length == before.length);
            }
        }
        // The text changes by at most one character per key.
        FUZZ_CHECK(e.length + 1 >= before.length && e.length <= before.length + 1);
    }
    if (!screen.ended) {
        const std::size_t length = e.length;
        out.clear();
        FUZZ_CHECK(e.end_of_input(out));
        FUZZ_CHECK(out == "\n" && e.length == length);
        check_buffer(e, buf.get(), line_size);
    }

    // read_line over the same keys on standard input: every call returns its
    // buffer, NUL-terminated, and the end of the input ends the last line
    // instead of spinning.
    const int keys = fuzz::memfd_with(data + 1, size - 1);
    FUZZ_CHECK(::dup2(keys, 0) == 0);
    ::close(keys);
    const std::size_t read_size = size_from(data[0]);
    std::unique_ptr<char[]> line(new char[read_size]);
    bool ended = false;
    for (std::size_t calls = 0; calls <= size && !ended; ++calls) {
        FUZZ_CHECK(read_line(line.get(), read_size) == line.get());
        FUZZ_CHECK(std::memchr(line.get(), '\0', read_size) != nullptr);
        ended = key_input_ended();
    }
    FUZZ_CHECK(ended);
    return 0;
}
