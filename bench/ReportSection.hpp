// The benchmarks' Markdown report (docs/performance.md): each program writes
// its own part. A section of its own lies between the lines
// "<!-- section: NAME -->" and "<!-- end of section: NAME -->", so that the
// others keep it when they write theirs.
#pragma once

#include "IntervalIteration.h"

#include <fstream>
#include <iterator>
#include <string>

namespace bench {

inline std::string ProcessorName() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    char vendor[13];
    GetCpuVendor(vendor, sizeof vendor);
    return vendor;
}

inline std::string ReadReport(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of the report at path from the line heading up to the first
// section or the end, after a line break; empty without that heading.
inline std::string HandWritten(const std::string& path, const std::string& heading) {
    const std::string text = ReadReport(path);
    const std::size_t at = text.find(heading);
    if (at == std::string::npos) return "";
    std::string kept = text.substr(at, text.find("<!-- section: ", at) - at);
    while (!kept.empty() && kept.back() == '\n') kept.pop_back();
    return "\n" + kept + "\n";
}

// Every section of the report at path, markers included, one after the
// other.
inline std::string Sections(const std::string& path) {
    const std::string text = ReadReport(path);
    const std::string begin = "<!-- section: ";
    const std::string end = "<!-- end of section: ";
    std::string sections;
    for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) break;
        const std::size_t lineEnd = text.find('\n', stop);
        sections += "\n" + text.substr(at, lineEnd == std::string::npos ? std::string::npos : lineEnd + 1 - at);
    }
    return sections;
}

// Writes text as the section name of the report at path, in place of the
// one there or after the rest.
inline void ReplaceSection(const std::string& path, const std::string& name, const std::string& text) {
    std::string report = ReadReport(path);
    const std::string begin = "<!-- section: " + name + " -->\n";
    const std::string end = "<!-- end of section: " + name + " -->\n";
    const std::string section = begin + text + end;
    const std::size_t at = report.find(begin);
    const std::size_t stop = at == std::string::npos ? std::string::npos : report.find(end, at);
    if (stop == std::string::npos) {
        report += (report.empty() || report.back() == '\n' ? "\n" : "\n\n") + section;
    } else {
        report.replace(at, stop + end.size() - at, section);
    }
    std::ofstream(path, std::ios::binary) << report;
}

}  // namespace bench
