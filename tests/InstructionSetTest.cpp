// The library runs on any x86-64 processor: no object but the AVX-512
// back-end's contains an AVX or AVX-512 instruction, and that object defines
// no global symbol but the AVX-512 drivers and kernels, so nothing else can
// reach its code.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ObjectFiles() {
    std::vector<std::string> files;
    std::stringstream list(INTERVAL_ITERATION_OBJECTS);
    std::string file;
    while (std::getline(list, file, '|')) {
        files.push_back(file);
    }
    return files;
}

std::vector<std::string> Lines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        lines.emplace_back(buffer);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return lines;
}

bool IsAvx512Object(const std::string& file) {
    return file.find("Avx512.cpp.o") != std::string::npos;
}

// A VEX- or EVEX-encoded instruction: its mnemonic starts with "v", or it
// names a ymm, zmm or mask register.
bool IsVectorExtensionInstruction(const std::string& line) {
    const std::size_t tab = line.find(":\t");
    if (tab == std::string::npos) {
        return false;
    }
    const std::string instruction = line.substr(tab + 2);
    return instruction.rfind('v', 0) == 0 || instruction.find("%ymm") != std::string::npos ||
           instruction.find("%zmm") != std::string::npos ||
           instruction.find("%k") != std::string::npos;
}

TEST(InstructionSet, OnlyTheAvx512ObjectUsesVectorExtensions) {
    const std::vector<std::string> files = ObjectFiles();
    ASSERT_EQ(files.size(), 5u);
    for (const std::string& file : files) {
        if (IsAvx512Object(file)) {
            continue;
        }
        const std::vector<std::string> lines = Lines("objdump -d --no-show-raw-insn '" + file + "'");
        EXPECT_GT(lines.size(), 10u) << file;
        for (const std::string& line : lines) {
            EXPECT_FALSE(IsVectorExtensionInstruction(line)) << file << ": " << line;
        }
    }
}

TEST(InstructionSet, Avx512ObjectExportsOnlyAvx512Functions) {
    bool found = false;
    for (const std::string& file : ObjectFiles()) {
        if (!IsAvx512Object(file)) {
            continue;
        }
        found = true;
        const std::vector<std::string> symbols =
            Lines("nm --defined-only --extern-only '" + file + "'");
        EXPECT_FALSE(symbols.empty());
        // Every function it defines is an AVX-512 one, so that the linker
        // never picks its copy for a caller on another processor. Data
        // symbols hold no instructions: with the sanitizers the compiler
        // adds the exception personality's pointer (V DW.ref.__gxx_personality_v0).
        for (const std::string& symbol : symbols) {
            const std::size_t type = symbol.find(' ') + 1;
            if (type == 0 || std::string("TWi").find(symbol[type]) == std::string::npos) {
                continue;
            }
            EXPECT_NE(symbol.find("AVX512"), std::string::npos) << symbol;
        }
        // And it does use AVX-512: the embedded rounding and fused
        // multiply-add are there.
        bool embeddedRounding = false;
        for (const std::string& line : Lines("objdump -d --no-show-raw-insn '" + file + "'")) {
            embeddedRounding |= line.find("vfmadd") != std::string::npos &&
                                line.find("{rd-sae}") != std::string::npos;
        }
        EXPECT_TRUE(embeddedRounding);
    }
    EXPECT_TRUE(found);
}

}  // namespace
