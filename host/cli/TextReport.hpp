// iicheck's text output: the model once, then each property as soon as it
// is done (one result, a table of initial states and variants, or a
// summary of many initial states) on stdout; notes, the library's messages
// and errors on stderr.
#pragma once

#include "cli/Report.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace iicheck {

// The model, once before its properties.
void PrintModel(const Report& report);

// What the text output shows of one property of report.
void PrintProperty(const Report& report, const PropertyReport& property);

// Errors on stderr after the runs of a property: broken bounds, a variant
// the library refused.
void ReportErrors(const Report& report, const PropertyReport& property);

// "iicheck: note: ..." on stderr, one line each.
void PrintNotes(const std::vector<std::string>& notes);

// After a signal, on stderr: how far the work came (initial states,
// variants or properties of propertyCount), or that the last run was cut
// short, or that it was all done. Nothing without a signal.
void PrintStopped(const Report& report, std::size_t propertyCount);

}  // namespace iicheck
