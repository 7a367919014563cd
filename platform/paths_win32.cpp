#include "platform/paths_win32.h"

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cwctype>
#include <utility>
#include <vector>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned utf8CodePage = 65001;
constexpr unsigned gb18030CodePage = 54936;

// The old C runtime (msvcrt.dll) answers 0 for the "C" locale and never 65001; the universal
// one answers 65001 for a ".UTF-8" locale.
bool runtimeLocaleUsesUtf8() { return ___lc_codepage_func() == utf8CodePage; }
bool systemFileApisAreAnsi() { return AreFileApisANSI() != FALSE; }
unsigned systemAnsiCodePage() { return GetACP(); }
unsigned systemOemCodePage() { return GetOEMCP(); }

std::error_code lastError() {
    return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

[[noreturn]] void raiseLastError() { throw std::system_error(lastError()); }

// The longest path the system takes in the ordinary form: MAX_PATH with its terminator, less the
// 12 characters that folder creation keeps for an 8.3 name below.
constexpr std::size_t shortPathLimit = MAX_PATH - 12;

// A virus scanner or indexer opens a file right after it changed, and for that moment Windows
// refuses to delete or replace it (access denied, or a sharing violation). Those two refusals are
// asked again for about 2 s at short waits; every other answer is final at once.
constexpr DWORD patienceMs = 2000;
constexpr DWORD firstWaitMs = 10;
constexpr DWORD longestWaitMs = 200;

bool isTransientRefusal(std::error_code code) {
    return code.category() == std::system_category() &&
           (code.value() == ERROR_ACCESS_DENIED || code.value() == ERROR_SHARING_VIOLATION);
}

template <typename Attempt>
std::error_code withPatience(Attempt attempt) {
    const ULONGLONG deadline = GetTickCount64() + patienceMs;
    for (DWORD wait = firstWaitMs;; wait = std::min(2 * wait, longestWaitMs)) {
        std::error_code code = attempt();
        if (!isTransientRefusal(code) || GetTickCount64() >= deadline) return code;
        Sleep(wait);
    }
}

// MultiByteToWideChar and WideCharToMultiByte count in int.
[[noreturn]] void raiseTooLong() {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument));
}

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleClose>;

// Empty when the file cannot be opened; GetLastError then tells why.
Handle openHandle(const fs::path& path, DWORD access, DWORD flags) {
    HANDLE handle = CreateFileW(systemPath(path).c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// Opens without asking for access, following links; a folder needs FILE_FLAG_BACKUP_SEMANTICS.
Handle openForStatus(const fs::path& path) {
    return openHandle(path, 0, FILE_FLAG_BACKUP_SEMANTICS);
}

// For messages about a failure, which must not fail themselves: whatever the code page cannot
// represent becomes its default character, and a code page that converts nothing at all falls
// back to one unit at a time.
std::string lenientText(const fs::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const unsigned codePage = fileSystemCodePage();
    const int length = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX));
    int needed =
        WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
        std::string text(static_cast<std::size_t>(needed), '\0');
        if (WideCharToMultiByte(codePage, 0, wide.data(), length, text.data(), needed, nullptr,
                                nullptr) == needed)
            return text;
    }
    std::string text;
    for (int i = 0; i < length; ++i) {
        char bytes[8];
        int got = WideCharToMultiByte(codePage, 0, &wide[static_cast<std::size_t>(i)], 1, bytes,
                                      sizeof bytes, nullptr, nullptr);
        if (got > 0)
            text.append(bytes, static_cast<std::size_t>(got));
        else
            text += '?';
    }
    return text;
}

std::string quoted(const fs::path& path) { return "\"" + lenientText(path) + "\""; }

// The standard base builds its own text from the paths as UTF-8 and throws on an ill-formed
// one (a lone surrogate); the error must still be raised, so it then carries no paths. Our own
// text is built leniently beside it.
fs::filesystem_error standardError(const std::string& op, const fs::path* path1,
                                   const fs::path* path2, std::error_code code) {
    try {
        if (path2) return fs::filesystem_error(op, *path1, *path2, code);
        return fs::filesystem_error(op, *path1, code);
    } catch (const std::exception&) {
        return fs::filesystem_error(op, code);
    }
}

// GetFinalPathNameByHandleW answers with a "\\?\" prefix; ordinary drive and network paths are
// given back without it.
std::wstring withoutLongPrefix(std::wstring path) {
    const std::wstring longPrefix = L"\\\\?\\";
    const std::wstring uncPrefix = L"\\\\?\\UNC\\";
    if (path.compare(0, uncPrefix.size(), uncPrefix) == 0)
        return L"\\\\" + path.substr(uncPrefix.size());
    if (path.compare(0, longPrefix.size(), longPrefix) == 0 && path.size() >= 6 && path[5] == L':')
        return path.substr(longPrefix.size());
    return path;
}

// The absolute path the ordinary rules make of `path`; empty when there is none.
std::wstring fullPathOf(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::wstring full(size, L'\0');
    DWORD got = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (got == 0 || got >= size) return {};
    full.resize(got);
    return full;
}

// Wine keeps a handle's final path in a buffer of MAX_PATH and answers a longer one with "more
// data" whatever the size offered. The name within the volume has no such limit; the drive is that
// of the path opened (a link to another drive then still names a path outside the game).
std::wstring pathWithinVolumeOf(HANDLE handle, const fs::path& opened) {
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, info,
                                      static_cast<DWORD>(buffer.size())))
        return {};
    const std::wstring drive = fs::path(fullPathOf(opened.native())).root_name().native();
    if (drive.empty()) return {};
    return drive + std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// The path the system reached with this handle, opened as `opened`, links resolved; empty when it
// cannot tell.
std::wstring finalPathOf(HANDLE handle, const fs::path& opened) {
    DWORD size = MAX_PATH;
    std::wstring buffer;
    for (;;) {
        buffer.assign(size, L'\0');
        DWORD got = GetFinalPathNameByHandleW(handle, buffer.data(), size,
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0 && GetLastError() == ERROR_MORE_DATA) return pathWithinVolumeOf(handle, opened);
        if (got == 0) return {};
        if (got < size) {
            buffer.resize(got);
            return withoutLongPrefix(std::move(buffer));
        }
        size = got;  // the size needed, terminator included
    }
}

bool sameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool isDirectoryAttribute(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isDeviceName(std::wstring base) {
    // Windows ignores trailing blanks here: "CON .txt" is the console too.
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (base == device) return true;
    }
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0))
        return false;
    // COM0 to COM9 and LPT0 to LPT9, and the superscript digits one to three as well.
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

// A stdio stream over an open handle, which it then owns; null (and the handle closed) when the
// C runtime refuses it.
File fileFromHandle(HANDLE handle, int flags, const char* mode) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return File();
    }
    std::FILE* file = _fdopen(fd, mode);
    if (!file) {
        _close(fd);
        return File();
    }
    return File(file);
}

EntryType entryTypeOf(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryType::link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::folder : EntryType::file;
}

std::error_code absentIsSuccess(std::error_code code) {
    return isAbsentError(code) ? std::error_code() : code;
}

// Opens the name itself for deletion, a link as the link, or so it is asked: a system that
// follows the link anyway hands out its target, which openedTheNameItself then catches.
Handle openForDeletion(const fs::path& path) {
    return openHandle(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
}

// Windows refuses to delete or replace a read-only file or folder, where POSIX asks only the
// folder above; a file the updater is told to replace or remove loses the attribute first.
std::error_code clearReadOnly(HANDLE handle) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return lastError();
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return {};
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Zero times are left as they are.
    basic.CreationTime.QuadPart = 0;
    basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = 0;
    basic.ChangeTime.QuadPart = 0;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
        return lastError();
    return {};
}

// True when `handle` is the entry at `path` and not what a link there points to: a link opened
// as a link is still a reparse point, and the system's own path for the handle ends in the same
// folder and name. (Some systems follow every link whatever they are asked; deleting through
// such a handle would delete the target.)
bool openedTheNameItself(HANDLE handle, const fs::path& path, DWORD attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) !=
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const fs::path reached(finalPathOf(handle, path));
    const fs::path parentPath = path.parent_path().empty() ? fs::path(L".") : path.parent_path();
    Handle parent = openForStatus(parentPath);
    if (reached.empty() || !parent) return false;
    return sameNameIgnoringCase(reached.filename().native(), path.filename().native()) &&
           sameNameIgnoringCase(reached.parent_path().native(),
                                finalPathOf(parent.get(), parentPath));
}

struct SearchClose {
    void operator()(HANDLE handle) const { FindClose(handle); }
};

// `attributes` are those of the name itself, as GetFileAttributesW or a listing reports them.
// Deleting through a handle of the name itself removes a link and never its target, and a
// folder only when it is empty. A name that cannot be opened as itself is left alone.
std::error_code removeEntryWith(const fs::path& path, DWORD attributes) {
    return withPatience([&]() -> std::error_code {
        Handle handle = openForDeletion(path);
        if (!handle) return absentIsSuccess(lastError());
        if (!openedTheNameItself(handle.get(), path, attributes))
            return std::error_code(ERROR_NOT_SUPPORTED, std::system_category());
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            if (std::error_code code = clearReadOnly(handle.get())) return code;
        }
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition))
            return lastError();
        return {};
    });
}

// True when another program holds the file open so that it cannot be deleted or written now: one
// that did not share deletion or writing, or a running program's image. Asking for that access,
// without using it, meets a sharing violation then; a read-only file is refused otherwise and
// does not count.
bool isHeldOpen(const fs::path& path) {
    Handle handle = openHandle(path, DELETE | FILE_WRITE_DATA, FILE_FLAG_OPEN_REPARSE_POINT);
    return !handle && GetLastError() == ERROR_SHARING_VIOLATION;
}

void collectHeldOpen(const fs::path& path, DWORD attributes, std::vector<fs::path>& held);

// A real folder's contents, by the attributes the listing gives for each name itself, so that a
// link is never entered.
void collectHeldOpenBelow(const fs::path& folder, std::vector<fs::path>& held) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(systemPath(folder / L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    std::unique_ptr<void, SearchClose> listing(search);
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            collectHeldOpen(folder / name, found.dwFileAttributes, held);
    } while (FindNextFileW(search, &found));
}

void collectHeldOpen(const fs::path& path, DWORD attributes, std::vector<fs::path>& held) {
    if (entryTypeOf(attributes) == EntryType::folder)
        collectHeldOpenBelow(path, held);
    else if (isHeldOpen(path))
        held.push_back(path);
}

// Depth first, deciding for each name by the attributes the listing gives for the name itself,
// so that a link is never entered: the standard library's own tree removal follows links here.
std::error_code removeTreeWith(const fs::path& path, DWORD attributes) {
    if (entryTypeOf(attributes) == EntryType::folder) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileExW(systemPath(path / L"*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) {
            // An empty listing is "not found"; the folder itself is removed below.
            std::error_code code = lastError();
            if (code.value() != ERROR_FILE_NOT_FOUND) return absentIsSuccess(code);
        } else {
            std::unique_ptr<void, SearchClose> listing(search);
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                if (std::error_code code = removeTreeWith(path / name, found.dwFileAttributes))
                    return code;
            } while (FindNextFileW(search, &found));
            if (GetLastError() != ERROR_NO_MORE_FILES) return lastError();
        }
    }
    return removeEntryWith(path, attributes);
}

}  // namespace

std::wstring systemPath(const fs::path& path) {
    const std::wstring& given = path.native();
    if (given.compare(0, 4, L"\\\\?\\") == 0 || given.compare(0, 4, L"\\\\.\\") == 0) return given;
    const std::wstring full = fullPathOf(given);
    if (full.size() < shortPathLimit) return given;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

CodePageQueries codePageQueries = {runtimeLocaleUsesUtf8, systemFileApisAreAnsi, systemAnsiCodePage,
                                   systemOemCodePage};

unsigned fileSystemCodePage() {
    if (codePageQueries.localeUsesUtf8()) return utf8CodePage;
    return codePageQueries.fileApisAreAnsi() ? codePageQueries.ansiCodePage()
                                             : codePageQueries.oemCodePage();
}

fs::path pathFromText(const std::string& text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX) raiseTooLong();
    const unsigned codePage = fileSystemCodePage();
    const int length = static_cast<int>(text.size());
    DWORD flags = MB_ERR_INVALID_CHARS;
    int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    // UTF-7, the symbol code page and the ISO-2022 family take no flags at all.
    if (needed == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        flags = 0;
        needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    }
    if (needed == 0) raiseLastError();
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(codePage, flags, text.data(), length, wide.data(), needed) != needed)
        raiseLastError();
    return fs::path(std::move(wide));
}

std::string textFromPath(const fs::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    if (wide.size() > INT_MAX) raiseTooLong();
    const unsigned codePage = fileSystemCodePage();
    const int length = static_cast<int>(wide.size());
    // UTF-8 and GB18030 represent every character, so only ill-formed input can fail there;
    // they refuse the best-fit flag and the default-character report.
    const bool representsAll = codePage == utf8CodePage || codePage == gb18030CodePage;
    DWORD flags = representsAll ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultReport = representsAll ? nullptr : &usedDefault;
    int needed = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr,
                                     usedDefaultReport);
    if (needed == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        flags = 0;
        usedDefaultReport = nullptr;
        needed =
            WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
    }
    if (needed == 0) raiseLastError();
    std::string text(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), length, text.data(), needed, nullptr,
                            usedDefaultReport) != needed)
        raiseLastError();
    // Without best fit, a character the code page lacks comes out as its default character.
    if (usedDefault)
        throw std::system_error(
            std::error_code(ERROR_NO_UNICODE_TRANSLATION, std::system_category()));
    return text;
}

bool isReservedOrAlteredName(const fs::path& component) {
    const std::wstring& name = component.native();
    if (name.empty()) return false;
    // Windows drops trailing dots and blanks, so "a." and "a " open "a".
    if (name.back() == L'.' || name.back() == L' ') return true;
    for (wchar_t c : name) {
        // ':' names a drive or an alternate data stream; the rest cannot stand in a file name.
        if (c < 32 || c == L':' || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' ||
            c == L'*' || c == L'\\' || c == L'/')
            return true;
    }
    // A device name keeps its meaning with any extension: "nul.txt" is NUL.
    return isDeviceName(name.substr(0, name.find(L'.')));
}

std::string errorDescription(std::error_code code) {
    std::string text;
    if (code.category() == std::system_category()) {
        char* buffer = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(code.value()), 0,
                                      reinterpret_cast<char*>(&buffer), 0, nullptr);
        if (length > 0 && buffer) text.assign(buffer, length);
        LocalFree(buffer);
    } else {
        text = code.message();
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text.empty() ? "unknown error" : text;
}

FileSystemError::FileSystemError(const std::string& op, std::error_code code)
    : fs::filesystem_error(op, code), message_(op + ": " + errorDescription(code)) {}

FileSystemError::FileSystemError(const std::string& op, const fs::path& path, std::error_code code)
    : fs::filesystem_error(standardError(op, &path, nullptr, code)),
      message_(op + ": " + errorDescription(code) + ": " + quoted(path)) {}

FileSystemError::FileSystemError(const std::string& op, const fs::path& path1,
                                 const fs::path& path2, std::error_code code)
    : fs::filesystem_error(standardError(op, &path1, &path2, code)),
      message_(op + ": " + errorDescription(code) + ": " + quoted(path1) + ", " + quoted(path2)) {}

// The old C runtime has no UTF-8 locale to switch a thread to, so names convert as before.
ThreadUtf8Locale::ThreadUtf8Locale() = default;
ThreadUtf8Locale::~ThreadUtf8Locale() = default;

fs::path currentPath() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    for (;;) {
        if (needed == 0) throw FileSystemError("current_path()", lastError());
        std::wstring buffer(needed, L'\0');
        DWORD got = GetCurrentDirectoryW(needed, buffer.data());
        if (got == 0) throw FileSystemError("current_path()", lastError());
        if (got < needed) {
            buffer.resize(got);
            return fs::path(std::move(buffer));
        }
        needed = got;  // the folder changed in between and grew
    }
}

bool isAbsentError(std::error_code code) {
    if (code.category() == std::system_category()) {
        switch (code.value()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_BAD_NETPATH:
            case ERROR_INVALID_NAME:
                return true;
            default:
                return false;
        }
    }
    // The standard library here reports its own failures as errno values.
    return code == std::errc::no_such_file_or_directory;
}

bool fileExists(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    // A link counts by what it points to, which only opening it reaches.
    if (attributes != INVALID_FILE_ATTRIBUTES && openForStatus(path)) return true;
    std::error_code code = lastError();
    if (isAbsentError(code)) return false;
    throw FileSystemError("exists", path, code);
}

EntryType entryType(const fs::path& path, std::error_code& code) {
    // The attributes are those of the name itself: a reparse point is reported, not followed.
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        code = absentIsSuccess(lastError());
        return EntryType::absent;
    }
    code.clear();
    return entryTypeOf(attributes);
}

std::error_code removeEntry(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return absentIsSuccess(lastError());
    return removeEntryWith(path, attributes);
}

std::error_code removeTree(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return absentIsSuccess(lastError());
    return removeTreeWith(path, attributes);
}

File openFileForReading(const fs::path& path) {
    return File(_wfopen(systemPath(path).c_str(), L"rb"));
}

File createFreshFile(const fs::path& path) {
    // A real folder in the way stays (removing it would need it empty) and fails the creation.
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && entryTypeOf(attributes) != EntryType::folder &&
        removeEntryWith(path, attributes))
        return File();
    // CREATE_NEW fails on anything standing there, a link included, so nothing is written
    // through a link planted after the removal.
    HANDLE handle =
        CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return File();
    return fileFromHandle(handle, _O_WRONLY | _O_BINARY, "wb");
}

File openOwnPartialFile(const fs::path& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which is then refused.
    HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return File();
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1 || !openedTheNameItself(handle, path, info.dwFileAttributes)) {
        CloseHandle(handle);
        return File();
    }
    return fileFromHandle(handle, _O_RDWR | _O_APPEND | _O_BINARY, "a+b");
}

bool flushToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != FALSE;
}

void copyFile(const fs::path& source, const fs::path& target) {
    // Opening a folder this way fails, which keeps folders out.
    Handle in = openHandle(source, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!in) throw FileSystemError("copy_file", source, target, lastError());
    File out = createFreshFile(target);
    if (!out) throw FileSystemError("copy_file", source, target, lastError());
    std::error_code code;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            code = lastError();
            break;
        }
        if (got == 0) break;
        if (std::fwrite(buffer.data(), 1, got, out.get()) != got) {
            code = std::error_code(errno, std::generic_category());
            break;
        }
    }
    if (!closeFile(out) && !code) code = std::error_code(errno, std::generic_category());
    if (code) {
        removeQuietly(target);
        throw FileSystemError("copy_file", source, target, code);
    }
}

void renameFile(const fs::path& from, const fs::path& to) {
    const DWORD standing = GetFileAttributesW(systemPath(to).c_str());
    if (standing != INVALID_FILE_ATTRIBUTES && (standing & FILE_ATTRIBUTE_READONLY) &&
        !(standing & FILE_ATTRIBUTE_DIRECTORY)) {
        // The name itself, a link as the link.
        if (Handle handle = openHandle(to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                       FILE_FLAG_OPEN_REPARSE_POINT))
            clearReadOnly(handle.get());
    }
    // Replaces a file or link at `to` as a name, never writing through it; across volumes the
    // system copies and deletes.
    const std::wstring source = systemPath(from), target = systemPath(to);
    std::error_code code = withPatience([&]() -> std::error_code {
        if (MoveFileExW(source.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            return {};
        return lastError();
    });
    if (code) throw FileSystemError("rename", from, to, code);
}

std::vector<fs::path> filesInUse(const std::vector<fs::path>& paths) {
    std::vector<fs::path> held;
    for (const fs::path& path : paths) {
        const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) collectHeldOpen(path, attributes, held);
    }
    // A scanner's moment passes; a game that holds its files does not.
    const ULONGLONG deadline = GetTickCount64() + patienceMs;
    for (DWORD wait = firstWaitMs; !held.empty() && GetTickCount64() < deadline;
         wait = std::min(2 * wait, longestWaitMs)) {
        Sleep(wait);
        std::erase_if(held, [](const fs::path& path) { return !isHeldOpen(path); });
    }
    return held;
}

bool openFilesBlockChanges() { return true; }

void createDirectories(const fs::path& path) {
    if (isDirectoryAttribute(GetFileAttributesW(systemPath(path).c_str()))) return;
    // The root name and root folder ("C:\", "\\server\share\") are never created.
    fs::path folder = path.root_path();
    for (const fs::path& part : path.relative_path()) {
        if (part.empty()) continue;
        folder /= part;
        if (isDirectoryAttribute(GetFileAttributesW(systemPath(folder).c_str()))) continue;
        if (CreateDirectoryW(systemPath(folder).c_str(), nullptr)) continue;
        std::error_code code = lastError();
        // Another process may have created it meanwhile; a file of that name is a failure.
        if (code.value() == ERROR_ALREADY_EXISTS &&
            isDirectoryAttribute(GetFileAttributesW(systemPath(folder).c_str())))
            continue;
        throw FileSystemError("create_directories", path, code);
    }
}

std::uintmax_t freeSpace(const fs::path& folder) {
    // The caller's share: a quota can leave it less than the volume has free.
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(systemPath(folder).c_str(), &available, nullptr, nullptr))
        throw FileSystemError("space", folder, lastError());
    return available.QuadPart;
}

fs::path weaklyCanonical(const fs::path& path) {
    fs::path head = path.root_path();
    fs::path rest;
    bool found = false;
    for (const fs::path& part : path.relative_path()) {
        if (!rest.empty() || part.empty()) {
            rest /= part;
            continue;
        }
        fs::path next = head / part;
        if (openForStatus(next)) {
            head = std::move(next);
            found = true;
            continue;
        }
        std::error_code code = lastError();
        if (!isAbsentError(code)) throw FileSystemError("weakly_canonical", path, code);
        rest = part;
    }
    fs::path result = head;
    if (found || !head.empty()) {
        Handle handle = openForStatus(head);
        if (!handle) {
            std::error_code code = lastError();
            if (!isAbsentError(code)) throw FileSystemError("weakly_canonical", path, code);
        } else {
            std::wstring final = finalPathOf(handle.get(), head);
            if (final.empty()) throw FileSystemError("weakly_canonical", path, lastError());
            result = fs::path(std::move(final));
        }
    }
    if (rest.empty()) return result;
    return (result / rest).lexically_normal();
}
