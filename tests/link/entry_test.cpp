// The Win32 side of the entry point: the UTF-16 arguments as UTF-8, and the
// version resource and manifest of the built .exe (named by LSS_EXE).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cli/wide_args_win32.h"

namespace {

Utf8Args g_args;  // too large for a test's stack frame

TEST(WideArgs, ConvertsToUtf8WithoutBestFitAndRejectsUnpairedSurrogates) {
    const wchar_t* typed[] = {L"tool", L"COM5", L"\xFF4F\xFF46\xFF46", L"off\x00E9", L"\xD83D\xDCA1", L""};
    ASSERT_EQ(utf8_args_from_wide(6, typed, g_args), 0);
    ASSERT_EQ(g_args.argc, 6);
    EXPECT_STREQ(g_args.argv[1], "COM5");
    EXPECT_STREQ(g_args.argv[2], "\xEF\xBD\x8F\xEF\xBD\x86\xEF\xBD\x86");  // full-width, not "off"
    EXPECT_STREQ(g_args.argv[3], "off\xC3\xA9");
    EXPECT_STREQ(g_args.argv[4], "\xF0\x9F\x92\xA1");
    EXPECT_STREQ(g_args.argv[5], "");
    EXPECT_EQ(g_args.argv[6], nullptr);

    const wchar_t* broken[] = {L"tool", L"COM5",
                               (L"o\xD800"
                                L"ff"),
                               L"\xDC00"};
    EXPECT_EQ(utf8_args_from_wide(4, broken, g_args), 2);  // the first bad one
    EXPECT_STREQ(g_args.argv[1], "COM5");
    EXPECT_STREQ(g_args.argv[2], "");
    EXPECT_STREQ(g_args.argv[3], "");
}

std::wstring built_exe() {
    // Read as UTF-16, like the paths it is handed to (getenv is C4996 under /WX).
    const DWORD size = GetEnvironmentVariableW(L"LSS_EXE", nullptr, 0);  // counts the NUL
    if (size <= 1) {
        return L"";
    }
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(L"LSS_EXE", &path[0], size));
    // Under Wine the build tree's Unix path is reached through drive Z:.
    if (path[0] == L'/') {
        path.insert(0, L"Z:");
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

TEST(BuiltExe, CarriesTheProjectVersionAndItsNames) {
    const std::wstring exe = built_exe();
    if (exe.empty()) {
        GTEST_SKIP() << "LSS_EXE does not name the built .exe";
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, &block[0]));
    const auto value = [&block](const wchar_t* name) {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        void* text = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(&block[0], key.c_str(), &text, &length) || length == 0) {
            return std::wstring(L"(missing)");
        }
        return std::wstring(static_cast<const wchar_t*>(text));
    };
    EXPECT_EQ(value(L"FileVersion"), LSS_EXPECTED_VERSION);
    EXPECT_EQ(value(L"ProductVersion"), LSS_EXPECTED_VERSION);
    EXPECT_EQ(value(L"OriginalFilename"), L"lumaris_serial_spike.exe");
    EXPECT_EQ(value(L"ProductName"), L"lumaris_serial_spike");
    EXPECT_NE(value(L"FileDescription"), L"(missing)");
    EXPECT_NE(value(L"LegalCopyright"), L"(missing)");

    // The manifest: resource 1 of type RT_MANIFEST, run as the invoking user.
    const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << "error " << GetLastError();
    const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest resource";
    const char* xml = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(xml, SizeofResource(image, found));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos) << manifest;
    FreeLibrary(image);
}

}  // namespace
