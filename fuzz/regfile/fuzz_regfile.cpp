// The .reg text importer on arbitrary text. What it accepts must export and
// import again to the same registry: export(import(x)) is a fixed point.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cehost/counters.h"
#include "cehost/regfile.h"
#include "common/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::Reset();
    cehost::RegFileError error;
    if (cehost::ImportRegText(text, &error)) {
        std::string once = cehost::ExportRegText();
        fuzz::Reset();
        if (!cehost::ImportRegText(once, &error)) {
            std::fprintf(stderr, "fuzz: the importer refuses its own export:\n%s\n", once.c_str());
            std::abort();
        }
        std::string twice = cehost::ExportRegText();
        if (once != twice) {
            std::fprintf(stderr, "fuzz: export changed on a round trip:\n%s\n---\n%s\n",
                         once.c_str(), twice.c_str());
            std::abort();
        }
    }
    fuzz::CheckCounters("reg import");
    return 0;
}
