// The bundled example model (host/models/bundled.tra and .lab), compiled
// into the tool so that it runs without any file.
#pragma once

#include <string_view>

namespace iicheck {

extern const char* const kBundledTransitionsName;
extern const char* const kBundledLabelsName;
extern const std::string_view kBundledTransitions;
extern const std::string_view kBundledLabels;

}  // namespace iicheck
