// Fuzz target: `slotimg info` (text and JSON), `slotimg verify` and
// `slotimg extract` on arbitrary files, run in-process. What they report is
// compared with a walk of the file by the header rules.
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "slotimg/slotimg_cli.hpp"

namespace {

using fuzz::Bytes;

struct Entry {
    std::uint64_t offset;
    fuzz::Header header;
    bool sound;
};

struct Walk {
    std::vector<Entry> entries;
    bool stopped = false;        // at an invalid or cut-short extent
    std::uint64_t end = 0;       // where the walk stopped
};

Walk walk(const Bytes& file) {
    Walk w;
    std::uint64_t offset = 0;
    while (file.size() - offset >= 24) {
        const fuzz::Header h = fuzz::read_header(file.data() + offset);
        const bool fits = h.valid && h.t <= file.size() - offset;
        const bool sound =
            fits && fuzz::crc_by_definition(file.data() + offset + 4, h.t - 4) == fuzz::be32(file.data() + offset);
        w.entries.push_back({offset, h, sound});
        if (!fits) {
            w.stopped = true;
            break;
        }
        offset += h.t;
    }
    w.end = offset;
    return w;
}

struct Run {
    int status;
    std::string out;
    std::string err;
};

Run slotimg(std::vector<const char*> args) {
    args.insert(args.begin(), "slotimg");
    char* out_text = nullptr;
    char* err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE* out = ::open_memstream(&out_text, &out_size);
    std::FILE* err = ::open_memstream(&err_text, &err_size);
    FUZZ_CHECK(out != nullptr && err != nullptr);
    Run r;
    r.status = run_slotimg(static_cast<int>(args.size()), args.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(out_text, out_size);
    r.err.assign(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    return r;
}

std::size_t count(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = fuzz::scratch_dir();
    const std::string path = dir + "/image";
    const std::string extracted = dir + "/extracted";
    const Bytes file(data, data + size);
    fuzz::put_file(path, file);
    const Walk w = walk(file);
    bool all_sound = !w.entries.empty() && w.end == file.size();
    for (const Entry& e : w.entries) all_sound = all_sound && e.sound;

    const Run info = slotimg({"info", path.c_str()});
    FUZZ_CHECK(info.status == 0 && info.err.empty());
    char first[256];
    std::snprintf(first, sizeof first, "%s: %zu sub-image%s in %zu bytes\n", path.c_str(), w.entries.size(),
                  w.entries.size() == 1 ? "" : "s", file.size());
    FUZZ_CHECK(info.out.rfind(first, 0) == 0);
    FUZZ_CHECK(ends_with(info.out, all_sound ? "result: sound\n" : "result: NOT sound\n"));

    const Run json = slotimg({"info", path.c_str(), "--json"});
    FUZZ_CHECK(json.status == 0 && json.err.empty());
    FUZZ_CHECK(json.out.rfind("{\"file\": \"", 0) == 0);
    FUZZ_CHECK(ends_with(json.out, all_sound ? ", \"sound\": true}\n" : ", \"sound\": false}\n"));
    FUZZ_CHECK(count(json.out, "{\"index\": ") == w.entries.size());
    FUZZ_CHECK(count(json.out, "\"sound\": true") == (all_sound ? 1u : 0u) + [&] {
        std::size_t n = 0;
        for (const Entry& e : w.entries) n += e.sound;
        return n;
    }());

    const Run verify = slotimg({"verify", path.c_str()});
    FUZZ_CHECK(verify.status == (all_sound ? 0 : 1));
    FUZZ_CHECK(verify.err.empty());

    // Every sub-image whose extent fits can be taken out again, whole or as
    // its payload, byte for byte; one that does not fit cannot.
    for (std::size_t i = 0; i < w.entries.size() && i < 4; ++i) {
        const Entry& e = w.entries[i];
        const std::string index = std::to_string(i);
        const bool payload = (i + size) % 2 == 1;
        std::vector<const char*> args = {"extract", path.c_str(), "--index", index.c_str(), "--force",
                                         "-o", extracted.c_str()};
        if (payload) args.push_back("--payload");
        ::unlink(extracted.c_str());
        const Run x = slotimg(args);
        const bool fits = !(w.stopped && i + 1 == w.entries.size());
        FUZZ_CHECK(x.status == (fits ? 0 : 1));
        if (fits) {
            const std::uint64_t from = e.offset + (payload ? e.header.h : 0);
            const Bytes want(file.begin() + static_cast<std::ptrdiff_t>(from),
                             file.begin() + static_cast<std::ptrdiff_t>(e.offset + e.header.t));
            FUZZ_CHECK(fuzz::file_contents(extracted) == want);
        } else {
            FUZZ_CHECK(!fuzz::file_exists(extracted));
        }
    }
    return 0;
}
