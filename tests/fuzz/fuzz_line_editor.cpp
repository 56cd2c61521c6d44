// Fuzz target: the line editor over arbitrary key streams; the first byte picks the buffer size.
#include <vector>

#include "console/keys.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::vector<char> buf(data[0] >= 0xF0 ? 128 : 1 + data[0] % 20, 'x');  // start() clears it
    LineEditor e;
    e.start(buf.data(), buf.size());
    for (std::size_t i = 1; i < size; ++i) {
        const std::string text = buf.data();
        std::string out;
        const bool done = e.feed(data[i], out);
        FUZZ_CHECK(e.length < buf.size());
        FUZZ_CHECK(e.cursor <= e.length);
        FUZZ_CHECK(std::strlen(buf.data()) == e.length);
        if (!done) continue;
        FUZZ_CHECK(out.ends_with('\n'));
        FUZZ_CHECK(text == buf.data());
        FUZZ_CHECK(e.broken == (out == " <break>\n"));
        e.start(buf.data(), buf.size());
    }
    std::string out;
    FUZZ_CHECK(e.end_of_input(out));
    FUZZ_CHECK(out == "\n");
    return 0;
}
