// The .reg text importer on arbitrary text. What it accepts must export and
// import again to the same registry: export(import(x)) is a fixed point.
#include <string>

#include "cehost/counters.h"
#include "cehost/regfile.h"
#include "common/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    cehost::ResetPlatform();
    cehost::RegFileError error;
    if (cehost::ImportRegText(text, &error)) {
        std::string once = cehost::ExportRegText();
        cehost::ResetPlatform();
        if (!cehost::ImportRegText(once, &error))
            fuzz::Finding("the importer refuses its own export:\n%s", once.c_str());
        std::string twice = cehost::ExportRegText();
        if (once != twice)
            fuzz::Finding("export changed on a round trip:\n%s\n---\n%s", once.c_str(),
                          twice.c_str());
    }
    fuzz::CheckCounters("reg import");
    return 0;
}
