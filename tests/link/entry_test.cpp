// The Win32 side of the entry point: the UTF-16 arguments as UTF-8, and the
// version resource and manifest of the built .exe (named by LSS_EXE).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "expected_lines.h"
#include "front/wide_args_win32.h"

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

std::wstring built_exe(const wchar_t* variable = L"LSS_EXE") {
    // Read as UTF-16, like the paths it is handed to (getenv is C4996 under /WX).
    const DWORD size = GetEnvironmentVariableW(variable, nullptr, 0);  // counts the NUL
    if (size <= 1) {
        return L"";
    }
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(variable, &path[0], size));
    // Under Wine the build tree's Unix path is reached through drive Z:.
    if (path[0] == L'/') {
        path.insert(0, L"Z:");
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Both programs: the project version, the program's own names and the manifest.
void expect_version_resource(const std::wstring& exe, const std::wstring& program) {
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
    EXPECT_EQ(value(L"OriginalFilename"), program + L".exe");
    EXPECT_EQ(value(L"InternalName"), program);
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

TEST(BuiltExe, CarriesTheProjectVersionAndItsNames) {
    const struct {
        const wchar_t* variable;
        const wchar_t* name;
    } programs[] = {{L"LSS_EXE", L"lumaris_serial_spike"}, {L"LSS_PROBE_EXE", L"lumaris_serial_probe"}};
    for (const auto& program : programs) {
        const std::wstring exe = built_exe(program.variable);
        if (exe.empty()) {
            GTEST_SKIP() << "LSS_EXE or LSS_PROBE_EXE does not name a built .exe";
        }
        expect_version_resource(exe, program.name);
    }
}

// ---- The built .exe started with a UTF-16 command line ----

struct Owned {  // closes the handle however the test ends
    HANDLE h;
    explicit Owned(HANDLE handle) : h(handle) {}
    ~Owned() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

constexpr DWORD kNoExit = 99;

// A file to catch a child's output: files, unlike pipes, cannot fill up and
// block a child we are waiting for. Deleted when its last handle closes.
HANDLE scratch_file() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"lss", 0, path) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES inherited{static_cast<DWORD>(sizeof inherited), nullptr, TRUE};
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string contents(HANDLE file) {
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, chunk, static_cast<DWORD>(sizeof chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

// The exit status of `command` run with these standard handles, or kNoExit.
DWORD run(std::wstring command, DWORD flags, HANDLE out, HANDLE err) {
    STARTUPINFOW start{};
    start.cb = static_cast<DWORD>(sizeof start);
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = out;
    start.hStdError = err;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &start,
                        &child)) {
        ADD_FAILURE() << "CreateProcessW error " << GetLastError();
        return kNoExit;
    }
    const Owned process(child.hProcess);
    const Owned thread(child.hThread);
    // A Wine start takes well under a second; the bound is only there so
    // that a hung child fails the test instead of hanging the run.
    if (WaitForSingleObject(process.h, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.h, kNoExit);
        WaitForSingleObject(process.h, 10000);
        ADD_FAILURE() << "no exit within a minute";
        return kNoExit;
    }
    DWORD status = kNoExit;
    GetExitCodeProcess(process.h, &status);
    return status;
}

// COM199 is a valid name with no port behind it: opened by mistake, it would
// show as "ERR open" and exit 1.
std::wstring with_lone_surrogate(const std::wstring& exe, bool with_port) {
    return L"\"" + exe + L"\"" + (with_port ? L" COM199" : L"") + L" \xD800";
}

TEST(BuiltExe, RejectsAnUnpairedSurrogateOnlyWhenTheCountIsRight) {
    const std::wstring exe = built_exe();
    if (exe.empty()) {
        GTEST_SKIP() << "LSS_EXE does not name the built .exe";
    }
    for (const bool with_port : {true, false}) {
        SCOPED_TRACE(with_port ? "COM199 and a lone surrogate" : "a lone surrogate alone");
        const Owned out(scratch_file());
        const Owned err(scratch_file());
        ASSERT_NE(out.h, INVALID_HANDLE_VALUE);
        ASSERT_NE(err.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(run(with_lone_surrogate(exe, with_port), 0, out.h, err.h), 2u);
        EXPECT_EQ(contents(out.h), "");
        if (with_port) {
            EXPECT_EQ(contents(err.h), expected::line(expected::kBadArgument, "2"));
        } else {
            EXPECT_EQ(contents(err.h), expected::kUsage);
        }
    }
}

// The console's text from its start to the cursor.
std::wstring on_screen(HANDLE screen) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen, &info)) {
        return L"(no screen)";
    }
    const DWORD written = static_cast<DWORD>(info.dwCursorPosition.Y) * static_cast<DWORD>(info.dwSize.X) +
                          static_cast<DWORD>(info.dwCursorPosition.X);
    std::wstring shown(written, L' ');
    DWORD got = 0;
    if (written > 0 && !ReadConsoleOutputCharacterW(screen, &shown[0], written, COORD{0, 0}, &got)) {
        return L"(unreadable)";
    }
    shown.resize(got);
    return shown;
}

// What a console shows of one printed ASCII line: control characters as
// escapes, and its closing LF as the blanks left in its last row.
std::wstring as_shown(const std::string& line, std::size_t width) {
    std::wstring text;
    for (const char c : line.substr(0, line.size() - 1)) {
        if (c < 0x20) {
            text += {L'\\', L'x', L"0123456789ABCDEF"[c >> 4], L"0123456789ABCDEF"[c & 15]};
        } else {
            text += static_cast<wchar_t>(c);
        }
    }
    return text.append((width - text.size() % width) % width, L' ');
}

// Under CTest there is no terminal, and under Wine without a display
// AllocConsole gives no usable console. So a test process without a console
// runs this test again in a copy of itself started with CREATE_NO_WINDOW,
// which gets a console without a window for the .exe to inherit, and passes
// only if the copy ran the check and passed.
TEST(ConsoleOutput, ErrorLinesGoToStandardErrorBesideAConsole) {
    const std::wstring exe = built_exe();
    if (exe.empty()) {
        GTEST_SKIP() << "LSS_EXE does not name the built .exe";
    }
    SECURITY_ATTRIBUTES inherited{static_cast<DWORD>(sizeof inherited), nullptr, TRUE};
    const Owned screen(CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                                 CONSOLE_TEXTMODE_BUFFER, nullptr));
    DWORD mode = 0;
    if (!GetConsoleMode(screen.h, &mode)) {
        if (GetEnvironmentVariableW(L"LSS_CONSOLE_COPY", nullptr, 0) != 0) {
            GTEST_SKIP() << "no console even when started with CREATE_NO_WINDOW";
        }
        wchar_t self[MAX_PATH];
        ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
        const Owned report(scratch_file());
        ASSERT_NE(report.h, INVALID_HANDLE_VALUE);
        SetEnvironmentVariableW(L"LSS_CONSOLE_COPY", L"1");
        const DWORD status = run(L"\"" + std::wstring(self) + L"\" --gtest_filter=ConsoleOutput.*",
                                 CREATE_NO_WINDOW, report.h, report.h);
        SetEnvironmentVariableW(L"LSS_CONSOLE_COPY", nullptr);
        const std::string copy = contents(report.h);
        if (copy.find("[  SKIPPED ]") != std::string::npos) {
            GTEST_SKIP() << copy;
        }
        EXPECT_TRUE(status == 0 && copy.find("[  PASSED  ] 1 test") != std::string::npos) << copy;
        return;
    }
    const Owned err(scratch_file());
    ASSERT_NE(err.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run(with_lone_surrogate(exe, true), 0, screen.h, err.h), 2u);
    EXPECT_EQ(contents(err.h), expected::line(expected::kBadArgument, "2"));
    EXPECT_EQ(on_screen(screen.h), L"") << "on the console";

    // An argument's control characters are shown, not obeyed, in both 256-byte
    // pieces of its line (an LF ends the first), and only each line's own LF
    // breaks the line. The usage text follows, one line per print.
    std::string arg = "COM\x1B[2J";
    arg.resize(255 - expected::head(expected::kBadPortName).size(), '\x01');
    arg += "\n" + std::string(300, '\x02');
    EXPECT_EQ(
        run(L"\"" + exe + L"\" \"" + std::wstring(arg.begin(), arg.end()) + L"\" off", 0, screen.h, screen.h),
        2u);
    EXPECT_EQ(run(L"\"" + exe + L"\"", 0, screen.h, screen.h), 2u);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.h, &info));
    const auto width = static_cast<std::size_t>(info.dwSize.X);
    std::wstring want = as_shown(expected::line(expected::kBadPortName, arg), width);
    std::istringstream usage(expected::kUsage);
    for (std::string line; std::getline(usage, line);) {
        want += as_shown(line + "\n", width);
    }
    EXPECT_EQ(on_screen(screen.h), want);
}

}  // namespace
