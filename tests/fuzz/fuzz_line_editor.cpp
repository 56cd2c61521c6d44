// Fuzz target: the line editor over arbitrary key streams; the first byte
// picks the size of the line buffer.
#include <vector>

#include "console/keys.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::vector<char> buf(data[0] >= 0xF0 ? 128 : 1 + data[0] % 20, 'x');  // start() clears what was there
    LineEditor e;
    e.start(buf.data(), buf.size());
    for (std::size_t i = 1; i < size; ++i) {
        // The text stays NUL-terminated in the buffer, the cursor in it; a line ends with \n, its text kept.
        const std::string text = buf.data();
        std::string out;
        const bool done = e.feed(data[i], out);
        FUZZ_CHECK(e.length < buf.size() && e.cursor <= e.length && std::strlen(buf.data()) == e.length);
        FUZZ_CHECK(!done || (out.ends_with('\n') && text == buf.data() && e.broken == (out == " <break>\n")));
        if (done) e.start(buf.data(), buf.size());
    }
    std::string out;
    FUZZ_CHECK(e.end_of_input(out) && out == "\n");
    return 0;
}
