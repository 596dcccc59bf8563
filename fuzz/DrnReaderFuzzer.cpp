// Fuzzes the DRN reader. Malformed input must end in a one-line InputError
// naming the file, never a crash or a hang; a text that reads must give a
// consistent model.
#include "formats/DrnReader.hpp"
#include "ModelCheck.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const iicheck::Model model = iicheck::ParseDrn(text, "fuzz.drn", iicheck::kDefaultSumTolerance);
        fuzz::CheckModel(model, iicheck::kDefaultSumTolerance);
    } catch (const iicheck::InputError& error) {
        fuzz::CheckError(error.what(), "fuzz.drn");
    }
    return 0;
}
