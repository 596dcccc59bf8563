// Fuzzes the UMB reader on whole archives. Malformed input (damaged
// compression, members twice, a hostile index) must end in a one-line
// InputError naming the archive, never a crash, a hang or memory beyond what
// the input can expand to; an archive that reads must give a consistent
// model.
#include "formats/UmbReader.hpp"
#include "ModelCheck.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const iicheck::Model model = iicheck::ParseUmb(bytes, "fuzz.umb", iicheck::kDefaultSumTolerance);
        fuzz::CheckModel(model, iicheck::kDefaultSumTolerance);
    } catch (const iicheck::InputError& error) {
        fuzz::CheckError(error.what(), "fuzz.umb");
    }
    return 0;
}
