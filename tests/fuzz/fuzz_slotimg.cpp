// Fuzz target: `slotimg verify`, `info` and `plan` on arbitrary files,
// in-process: the verdicts agree with a walk, a plan always ends in its
// outcome, and nothing goes to stderr.
#include "fuzz_support.hpp"
#include "slotimg/slotimg_cli.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/proc/self/fd/" + std::to_string(::fileno(fuzz::mem_file("")));
    const std::string file = fuzz::text(data, size);
    fuzz::put_file(path, file);
    const bool sound = fuzz::sound(file);
    for (const char* command : {"verify", "info"}) {
        const char* const args[] = {"slotimg", command, path.c_str(), nullptr};
        std::FILE *out = fuzz::mem_file(""), *err = fuzz::mem_file("");
        const bool info = command[0] == 'i';
        FUZZ_CHECK(run_slotimg(3, args, out, err) == (!info && !sound) && fuzz::contents(err).empty() &&
                   fuzz::contents(out).ends_with(!info ? "" : sound ? "result: sound\n" : "result: NOT sound\n"));
        std::fclose(out), std::fclose(err);
    }
    const char* const plan[] = {"slotimg", "plan", path.c_str(), nullptr};
    std::FILE *out = fuzz::mem_file(""), *err = fuzz::mem_file("");
    FUZZ_CHECK(run_slotimg(3, plan, out, err) <= 1 && fuzz::contents(err).empty() &&
               fuzz::contents(out).find("\nresult: ") != std::string::npos);
    std::fclose(out), std::fclose(err);
    return 0;
}
