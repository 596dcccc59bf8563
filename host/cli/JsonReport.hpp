// iicheck's JSON document (schema 1, documented key by key in
// host/README.md), built as values of the JSON library, which escapes the
// strings and writes the numbers in their shortest form that reads back as
// the same binary64 value.
#pragma once

#include "cli/Report.hpp"

#include <string>

namespace iicheck {

// The document of report, ending in a newline.
std::string ResultJson(const Report& report);

}  // namespace iicheck
