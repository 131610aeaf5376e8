// The shared library as a host loads it: the one export, called by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "quenvale.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

TEST(SharedLibrary, QuenvaleIsCallableThroughDlsym) {
    void* library = dlopen(QUENVALE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using Entry = int32_t (*)(const char16_t*, const char16_t*);
    auto quenvale = reinterpret_cast<Entry>(dlsym(library, "Quenvale"));
    ASSERT_NE(quenvale, nullptr);
    // Internal names stay hidden.
    EXPECT_EQ(dlsym(library, "_ZN8quenvale13FlattenColorsENS_9PixelGridES0_jj"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN8quenvale11RunPipelineEPKDsS1_RKNS_11NamedFilterE"), nullptr);

    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(2, 2, Rgb{5, 6, 7})));
    testing::internal::CaptureStdout();
    int32_t result = quenvale(Utf16(input).c_str(), Utf16(output).c_str());
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, ResultDone);
    // The loaded module keeps a counter of its own, starting at 0.
    EXPECT_EQ(printed, CounterLine(20) + CounterLine(40) + CounterLine(20) + CounterLine(0));
    EXPECT_EQ(ReadFile(output), ReadFile(input));
    dlclose(library);
}

}  // namespace
}  // namespace quenvale_test
