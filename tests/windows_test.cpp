// The DLL as Windows loads it: the export by name and by ordinal, the module
// resources, and paths outside the ANSI code page.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "quenvale.h"
#include "quenvale_version.h"
#include "test_support.h"

namespace quenvale_test {
namespace {

std::wstring WidePath(const char* path) { return std::wstring(path, path + std::strlen(path)); }

TEST(SharedLibrary, QuenvaleByNameAndOrdinalOne) {
    HMODULE library = LoadLibraryW(WidePath(QUENVALE_SHARED_LIBRARY).c_str());
    ASSERT_NE(library, nullptr);
    FARPROC byName = GetProcAddress(library, "Quenvale");
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(GetProcAddress(library, MAKEINTRESOURCEA(1)), byName);
    using Entry = int32_t (*)(const char16_t*, const char16_t*);
    std::string input = TempPath("in.bmp");
    std::string output = TempPath("out.bmp");
    WriteFile(input, EncodeBitmap(MakeImage(2, 2, Rgb{5, 6, 7})));
    testing::internal::CaptureStdout();
    int32_t result = reinterpret_cast<Entry>(reinterpret_cast<void*>(byName))(Utf16(input).c_str(), Utf16(output).c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, ResultDone);
    EXPECT_EQ(ReadFile(output), ReadFile(input));
    FreeLibrary(library);
}

TEST(SharedLibrary, ResourcesCarryTheVersionAndString101) {
    std::wstring path = WidePath(QUENVALE_SHARED_LIBRARY);
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(library, nullptr);
    wchar_t text[128] = {};
    ASSERT_GT(LoadStringW(library, 101, text, 128), 0);
    EXPECT_STREQ(text, L"Windows sockets initialization failed.");
    FreeLibrary(library);

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\OLESelfRegister",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_LE(length, 1u);  // present, and empty
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"" QUENVALE_VERSION);
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\LegalCopyright",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"Copyright (c) 2026 the Quenvale authors, MIT licence");
}

TEST(Entry, PathsOutsideTheAnsiCodePageAreOpened) {
    // CJK and Cyrillic letters have no place in a Western code page: the
    // ANSI conversion turns them into '?', but the file is opened by its
    // wide name.
    std::u16string folder = Utf16(TempPath(""));
    std::u16string input = folder + u"\u4e2d\u6587-\u0436.bmp";
    std::u16string output = folder + u"\u4e2d\u6587-\u0436-out.bmp";
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(3, 2, Rgb{1, 2, 3}));
    FILE* file = _wfopen(reinterpret_cast<const wchar_t*>(input.c_str()), L"wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    CallRun run = RunQuenvale(input.c_str(), output.c_str());
    EXPECT_EQ(run.result, ResultDone) << run.output;
    file = _wfopen(reinterpret_cast<const wchar_t*>(output.c_str()), L"rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> written(bytes.size() + 1);
    EXPECT_EQ(std::fread(written.data(), 1, written.size(), file), bytes.size());
    std::fclose(file);
    written.resize(bytes.size());
    EXPECT_EQ(written, bytes);

    // The message names the output as the code page has it.
    std::u16string missingFolder = folder + u"\u0436\u0436/out.bmp";
    CallRun failed = RunQuenvale(input.c_str(), missingFolder.c_str());
    EXPECT_EQ(failed.result, ResultOutputOpenFailed);
    EXPECT_NE(failed.output.find("Could not open " + TempPath("") + "\?\?/out.bmp for writing"),
              std::string::npos)
        << failed.output;
}

TEST(SharedLibrary, WideCharPathsTakeTheHeadersOverload) {
    // L"..." is wchar_t on Windows, UTF-16 as the call's char16_t.
    std::string folder = TempPath("");
    std::wstring input = std::wstring(folder.begin(), folder.end()) + L"wide-in.bmp";
    std::wstring output = std::wstring(folder.begin(), folder.end()) + L"wide-out.bmp";
    std::vector<uint8_t> bytes = EncodeBitmap(MakeImage(2, 2, Rgb{9, 8, 7}));
    FILE* file = _wfopen(input.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    EXPECT_EQ(Quenvale(input.c_str(), output.c_str()), ResultDone);
    EXPECT_EQ(_wremove(output.c_str()), 0);
}

}  // namespace
}  // namespace quenvale_test
