// The binary interface as a host written in another language sees it: the
// library is loaded with dlopen, the functions are resolved by name, and the
// records are assembled byte by byte at their documented offsets.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const kExported[] = {
    "IntervalIteration",    "ExpectedRewardIteration", "MaximalEndComponents",
    "PrecisionToString",    "FpuToString",             "RoundingToString",
    "GetSizeOfSizeType",    "GetNativeSupportMask",    "GetCpuVendor",
};

// A record as raw bytes with little-endian writers at given offsets.
struct Bytes {
    explicit Bytes(std::size_t size) : Data(size, 0xA5) {}
    template <class T>
    void Put(std::size_t offset, T value) {
        ASSERT_LE(offset + sizeof(T), Data.size());
        std::memcpy(Data.data() + offset, &value, sizeof(T));
    }
    template <class T>
    T Get(std::size_t offset) const {
        T value;
        std::memcpy(&value, Data.data() + offset, sizeof(T));
        return value;
    }
    void* Pointer() { return Data.data(); }
    std::vector<uint8_t> Data;
};

// A 24-byte record is returned through a caller-supplied location; a host
// only needs to know its size.
struct ResultBytes {
    uint8_t Data[24];
};

using IntervalIterationFunction = ResultBytes (*)(const void*, const void*, void*, void*, void*,
                                                  void (*)(uint64_t, const char*, uint64_t),
                                                  const void*);
using ExpectedRewardFunction = ResultBytes (*)(const void*, const void*, const void*, void*,
                                               void*, void*,
                                               void (*)(uint64_t, const char*, uint64_t),
                                               const void*);
using NameFunction = const char* (*)(uint8_t);
using Int32Function = int32_t (*)();
using VendorFunction = int32_t (*)(char*, uint64_t);
using EndComponentsFunction = int32_t (*)(const void*, void*, void*,
                                          void (*)(uint64_t, const char*, uint64_t),
                                          const void*);

std::vector<std::pair<uint64_t, std::string>> gMessages;
void Collect(uint64_t context, const char* text, uint64_t severity) {
    EXPECT_EQ(context, 0u);
    gMessages.emplace_back(severity, text);
}

class Abi : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(INTERVAL_ITERATION_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        gMessages.clear();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    template <class F>
    F Resolve(const char* name) {
        void* symbol = dlsym(handle_, name);
        EXPECT_NE(symbol, nullptr) << name;
        return reinterpret_cast<F>(symbol);
    }
    void* handle_ = nullptr;
};

TEST_F(Abi, EveryExportedNameResolves) {
    for (const char* name : kExported) {
        EXPECT_NE(dlsym(handle_, name), nullptr) << name;
    }
}

// The model: state 0 has one choice, 1/3 to target state 1 and a stored 0.5
// to state 2, which has no way out (a zero state). Exact answer 1/3.
TEST_F(Abi, IntervalIterationWithRecordsBuiltByteByByte) {
    auto iterate = Resolve<IntervalIterationFunction>("IntervalIteration");
    ASSERT_NE(iterate, nullptr);

    Bytes target(8), zero(8), stateChoiceStart(4 * 8), choiceTransitionStart(2 * 8);
    Bytes transitionTarget(2 * 8), values(2 * 16);
    target.Put<uint64_t>(0, 0b010);
    zero.Put<uint64_t>(0, 0b100);
    stateChoiceStart.Put<uint64_t>(0, 0);
    stateChoiceStart.Put<uint64_t>(8, 1);
    stateChoiceStart.Put<uint64_t>(16, 1);
    stateChoiceStart.Put<uint64_t>(24, 1);
    choiceTransitionStart.Put<uint64_t>(0, 0);
    choiceTransitionStart.Put<uint64_t>(8, 2);
    transitionTarget.Put<uint64_t>(0, 1);
    transitionTarget.Put<uint64_t>(8, 2);
    values.Put<int64_t>(0, 1);
    values.Put<int64_t>(8, 3);
    values.Put<double>(16, 0.5);
    values.Put<int64_t>(24, 0);

    Bytes model(80);
    model.Put<uint32_t>(0, 7);  // any nonzero value is rational
    model.Put<uint64_t>(8, 3);
    model.Put<void*>(16, zero.Pointer());
    model.Put<void*>(24, target.Pointer());
    model.Put<void*>(32, stateChoiceStart.Pointer());
    model.Put<uint64_t>(40, 1);
    model.Put<void*>(48, choiceTransitionStart.Pointer());
    model.Put<uint64_t>(56, 2);
    model.Put<void*>(64, transitionTarget.Pointer());
    model.Put<void*>(72, values.Pointer());

    Bytes options(24);  // padding bytes hold garbage (0xA5) on purpose
    options.Put<double>(0, 1e-9);
    options.Put<int32_t>(8, 0);
    options.Put<uint8_t>(12, 2);    // Maximize, a bool byte of value 2
    options.Put<uint8_t>(13, 0);    // Relative
    options.Put<uint8_t>(14, 0);    // WarnOnAbort
    options.Put<uint8_t>(15, 0);    // ReturnBoundsOnFailure
    options.Put<uint8_t>(16, 2);    // SSE
    options.Put<uint8_t>(17, 0);    // double
    options.Put<uint8_t>(18, 0);    // default rounding
    options.Put<uint8_t>(19, 255);  // sequential

    Bytes count(8), achieved(8), warned(4), abortFlag(4);
    warned.Put<int32_t>(0, 0);
    abortFlag.Put<int32_t>(0, 0);

    const ResultBytes raw = iterate(model.Pointer(), options.Pointer(), count.Pointer(),
                                    achieved.Pointer(), warned.Pointer(), Collect,
                                    abortFlag.Pointer());
    double lower, upper;
    int32_t status;
    std::memcpy(&lower, raw.Data + 0, 8);
    std::memcpy(&upper, raw.Data + 8, 8);
    std::memcpy(&status, raw.Data + 16, 4);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lower, 1.0 / 3.0);
    EXPECT_EQ(upper, 1.0 / 3.0);
    EXPECT_EQ(count.Get<int64_t>(0), 1);
    EXPECT_EQ(achieved.Get<double>(0), 0.0);
    EXPECT_EQ(warned.Get<int32_t>(0), 0);
    ASSERT_EQ(gMessages.size(), 1u);
    EXPECT_EQ(gMessages[0].first, 2u);
    EXPECT_EQ(gMessages[0].second,
              "Using the SSE instruction set for floating-point calculations at double "
              "precision with default rounding in sequential interval iteration.");

    // The library never wrote the model or the options.
    EXPECT_EQ(model.Get<uint32_t>(4), 0xA5A5A5A5u);
    EXPECT_EQ(options.Get<uint32_t>(20), 0xA5A5A5A5u);

    // The expected reward of the same model, with the reward 5/2 on its one
    // choice: state 0 is left once, so exactly 5/2.
    auto reward = Resolve<ExpectedRewardFunction>("ExpectedRewardIteration");
    ASSERT_NE(reward, nullptr);
    Bytes choiceRewards(16), rewards(16);
    choiceRewards.Put<int64_t>(0, 5);
    choiceRewards.Put<int64_t>(8, 2);
    rewards.Put<void*>(0, choiceRewards.Pointer());
    rewards.Put<uint64_t>(8, 1);
    gMessages.clear();
    const ResultBytes rewardRaw =
        reward(model.Pointer(), rewards.Pointer(), options.Pointer(), count.Pointer(),
               achieved.Pointer(), warned.Pointer(), Collect, abortFlag.Pointer());
    std::memcpy(&lower, rewardRaw.Data + 0, 8);
    std::memcpy(&upper, rewardRaw.Data + 8, 8);
    std::memcpy(&status, rewardRaw.Data + 16, 4);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lower, 2.5);
    EXPECT_EQ(upper, 2.5);
    ASSERT_EQ(gMessages.size(), 2u);  // the variant, the certified upper bound
    EXPECT_EQ(gMessages[1].first, 2u);
}

TEST_F(Abi, ErrorResultLeavesOutputLocationsUntouched) {
    auto iterate = Resolve<IntervalIterationFunction>("IntervalIteration");
    ASSERT_NE(iterate, nullptr);
    Bytes model(80), options(24), count(8), achieved(8), warned(4), abortFlag(4);
    model.Put<uint32_t>(0, 0);  // floating-point model: refused before anything is read
    const std::vector<uint8_t> before = count.Data;
    const ResultBytes raw = iterate(model.Pointer(), options.Pointer(), count.Pointer(),
                                    achieved.Pointer(), warned.Pointer(), Collect,
                                    abortFlag.Pointer());
    uint64_t lowerBits, upperBits;
    int32_t status;
    std::memcpy(&lowerBits, raw.Data + 0, 8);
    std::memcpy(&upperBits, raw.Data + 8, 8);
    std::memcpy(&status, raw.Data + 16, 4);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(lowerBits, 0x7FF8000000000000u);
    EXPECT_EQ(upperBits, 0x7FF8000000000000u);
    EXPECT_EQ(count.Data, before);
    EXPECT_EQ(achieved.Data, before);
    EXPECT_EQ(warned.Get<uint32_t>(0), 0xA5A5A5A5u);
    ASSERT_EQ(gMessages.size(), 1u);
    EXPECT_EQ(gMessages[0].first, 0u);
}

TEST_F(Abi, SmallQueries) {
    EXPECT_EQ(Resolve<Int32Function>("GetSizeOfSizeType")(), 8);
    const int32_t mask = Resolve<Int32Function>("GetNativeSupportMask")();
    EXPECT_TRUE(mask == 1 || mask == 3) << mask;
    char vendor[16];
    std::memset(vendor, 'x', sizeof vendor);
    EXPECT_EQ(Resolve<VendorFunction>("GetCpuVendor")(vendor, 13), 12);
    EXPECT_EQ(std::strlen(vendor), 12u);
    EXPECT_STREQ(Resolve<NameFunction>("FpuToString")(3), "AVX-512");
    EXPECT_STREQ(Resolve<NameFunction>("PrecisionToString")(1), "extended");
    EXPECT_STREQ(Resolve<NameFunction>("RoundingToString")(1), "safe");
    int32_t abortFlag = 0;
    EXPECT_EQ(Resolve<EndComponentsFunction>("MaximalEndComponents")(nullptr, nullptr, nullptr,
                                                                      Collect, &abortFlag),
              2);
}

// The dynamic symbol table of the shared object, read from the file.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr)) {
        return names;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), image.data() + header.e_shoff,
                header.e_shnum * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM) {
            continue;
        }
        const Elf64_Shdr& strings = sections[section.sh_link];
        for (std::size_t offset = 0; offset < section.sh_size; offset += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, image.data() + section.sh_offset + offset, sizeof symbol);
            const unsigned binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) {
                continue;
            }
            names.insert(image.data() + strings.sh_offset + symbol.st_name);
        }
    }
    return names;
}

TEST(AbiExports, ExactlyTheNineFunctionsAreExported) {
    const std::set<std::string> expected(std::begin(kExported), std::end(kExported));
    EXPECT_EQ(DefinedDynamicSymbols(INTERVAL_ITERATION_LIBRARY_PATH), expected);
}

}  // namespace
