// Fuzzes the UMB reader on whole archives. Malformed input must end in a
// one-line InputError naming the archive, never a crash, a hang or memory
// beyond what the input can expand to; an archive that reads must give a
// consistent model.
#include "formats/UmbReader.hpp"
#include "ModelCheck.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const iicheck::Model model = iicheck::ParseUmb(bytes, "fuzz.umb", iicheck::kDefaultSumTolerance);
        fuzz::CheckModel(model, iicheck::kDefaultSumTolerance);
        const std::string where =
            iicheck::UmbChoiceLocation(bytes, "fuzz.umb", model.Mdp.ChoiceCount() / 2);
        fuzz::Require(where.rfind("fuzz.umb: choice ", 0) == 0, "a choice location without the archive");
    } catch (const iicheck::InputError& error) {
        fuzz::CheckError(error.what(), "fuzz.umb");
    }
    return 0;
}
