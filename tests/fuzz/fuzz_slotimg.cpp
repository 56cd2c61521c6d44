// Fuzz target: `slotimg verify`, `info` and `plan` on arbitrary files, in-process.
#include "fuzz_support.hpp"
#include "slotimg/slotimg_cli.hpp"

static int run(const char* command, const std::string& path, std::string* out) {
    const char* const args[] = {"slotimg", command, path.c_str(), nullptr};
    std::FILE* o = fuzz::mem_file("");
    std::FILE* e = fuzz::mem_file("");
    const int status = run_slotimg(3, args, o, e);
    *out = fuzz::contents(o);
    FUZZ_CHECK(fuzz::contents(e).empty());
    std::fclose(o);
    std::fclose(e);
    return status;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/proc/self/fd/" + std::to_string(fileno(fuzz::mem_file("")));
    const std::string file = fuzz::text(data, size);
    fuzz::put_file(path, file);
    const bool sound = fuzz::sound(file);
    std::string out;
    FUZZ_CHECK(run("verify", path, &out) == (sound ? 0 : 1));
    FUZZ_CHECK(run("info", path, &out) == 0);
    FUZZ_CHECK(out.ends_with(sound ? "result: sound\n" : "result: NOT sound\n"));
    FUZZ_CHECK(run("plan", path, &out) <= 1);
    FUZZ_CHECK(out.find("\nresult: ") != std::string::npos);
    return 0;
}
