#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

fs::path probePath() {
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, length)).parent_path() / NUVRA_GUI_ENTRY_PROBE;
}

// Runs the probe with `arguments` after its name; its standard output goes to `output`.
DWORD runProbe(const std::wstring& arguments, const fs::path& output) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0xFFFFFFFF;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + probePath().native() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    DWORD status = 0xFFFFFFFF;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(file);
    return status;
}

}  // namespace

TEST(GuiEntry, ExecutableIsForTheGraphicalSubsystem) {
    const std::string image = readFileBytes(probePath());
    ASSERT_GT(image.size(), 0x40u);
    IMAGE_DOS_HEADER dos;
    std::copy_n(image.data(), sizeof dos, reinterpret_cast<char*>(&dos));
    ASSERT_EQ(IMAGE_DOS_SIGNATURE, dos.e_magic);
    IMAGE_NT_HEADERS64 nt;
    ASSERT_GE(image.size(), static_cast<std::size_t>(dos.e_lfanew) + sizeof nt);
    std::copy_n(image.data() + dos.e_lfanew, sizeof nt, reinterpret_cast<char*>(&nt));
    ASSERT_EQ(IMAGE_NT_SIGNATURE, nt.Signature);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt.OptionalHeader.Subsystem);
}

TEST(GuiEntry, NarrowArgumentsReachMainUnchanged) {
    TempDir temp;
    const fs::path output = temp.path() / "out.txt";
    EXPECT_EQ(6u, runProbe(L"--root \"C:\\my game\" \"\" -h --headless", output));
    std::string text = readFileBytes(output);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    EXPECT_EQ("[--root]\n[C:\\my game]\n[]\n[-h]\n[--headless]\n", text);
}
