#include "publish/publish.h"

#include <algorithm>
#include <cwctype>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "manifest/config.h"
#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "manifest/manifests.h"
#include "platform/paths.h"
#include "transfer/content_check.h"
#include "transfer/extract.h"
#include "transfer/safe_path.h"

namespace fs = std::filesystem;

namespace {

const char* const configName = "nuvraconfigremote.json";
const char* const manifestName = "nuvramodremote1.json";
const char* const fileListName = "nuvrafile.json";

fs::path serverFile(const fs::path& dir, const char* name) { return dir / pathFromText(name); }

std::string modpakLabel(const ModpakEntry& entry) {
    return "modpak " + std::to_string(entry.modPakNum) + ": " + entry.name;
}

// What `file` holds, compared with what its entry records; empty when they agree.
std::string promiseMismatch(const ModpakPromise& promise, const ContentDigest& found) {
    if (promise.size && *promise.size != found.size)
        return "size " + std::to_string(*promise.size) + " recorded, " +
               std::to_string(found.size) + " found";
    ContentCheck check{std::nullopt, promise.sha256, ""};
    if (!contentMismatch(check, found, false).empty()) return "sha256 differs";
    return "";
}

// A name as the updater joins it, with '/' between its parts; empty when it is refused.
std::string spelledName(const std::string& name) {
    std::optional<fs::path> cleaned = cleanRelativeName(name);
    return cleaned ? cleaned->generic_string() : std::string();
}

// What Windows compares: the name with every letter in one case (in the thread's locale, which
// caseClashes makes UTF-8). Names that are not text are compared as written.
std::wstring caseFolded(const std::string& name) {
    std::wstring folded;
    try {
        folded = pathFromText(name).generic_wstring();
    } catch (const std::exception&) {
        folded.assign(name.begin(), name.end());
    }
    for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return folded;
}

// The names modpak `modpak` changes in the game folder, in its order: what it retires, then what
// it unpacks (the file itself when it is not an archive).
std::vector<std::string> namesOfModpak(const fs::path& dir, const ModpakEntry& modpak,
                                       const std::vector<FileEntry>& files) {
    std::vector<std::string> names;
    for (const FileEntry& entry : files)
        if (entry.modPakNum == modpak.modPakNum) names.push_back(spelledName(entry.name));
    if (!isSevenZipName(modpak.name)) {
        names.push_back(spelledName(modpak.name));
    } else if (std::optional<fs::path> file = cleanRelativeName(modpak.name)) {
        try {
            for (const fs::path& entry : archiveEntryNames(dir / *file))
                names.push_back(spelledName(textFromPath(entry)));
        } catch (const std::exception&) {
        }
    }
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

}  // namespace

void initServer(const fs::path& dir, const std::string& url) {
    for (const char* name : {configName, manifestName, fileListName})
        if (fileExists(serverFile(dir, name)))
            throw std::runtime_error("Already a server folder: " + textFromPath(dir));
    createDirectories(dir);
    writeUpdaterConfig(serverFile(dir, configName), UpdaterConfig{"any", updaterVersion, url});
    writeFileList(serverFile(dir, fileListName), {});
    // The manifest last: it is what makes the folder a server for the updater.
    writeRemoteManifest(serverFile(dir, manifestName), {});
}

RemoteModpak addModpak(const fs::path& dir, const fs::path& file,
                       const std::vector<FileEntry>& retired) {
    std::vector<RemoteModpak> modpaks =
        parseRemoteModpakList(serverFile(dir, manifestName), PromiseReading::eachKey);
    std::vector<FileEntry> files = parseServerFileList(serverFile(dir, fileListName));
    const std::string name = textFromPath(file.filename());
    if (!cleanRelativeName(name)) throw std::runtime_error("Refusing unsafe name: " + name);
    for (const FileEntry& entry : retired)
        if (!cleanRelativeName(entry.name))
            throw std::runtime_error("Refusing unsafe path to retire: " + entry.name);
    std::int32_t highest = 0;
    for (const RemoteModpak& modpak : modpaks) {
        // Players who have a name under one number would not fetch it again under another, and
        // its recorded hash would no longer match the file every fresh player downloads.
        if (modpak.entry.name == name)
            throw std::runtime_error("Already published as modpak " +
                                     std::to_string(modpak.entry.modPakNum) + ": " + name);
        highest = std::max(highest, modpak.entry.modPakNum);
    }
    if (highest == std::numeric_limits<std::int32_t>::max())
        throw std::runtime_error("No modpak number is left after " + std::to_string(highest));

    const fs::path target = dir / pathFromText(name);
    ContentDigest digest;
    if (fileExists(target)) {
        digest = digestFile(target);
        const ContentDigest given = digestFile(file);
        if (given.size != digest.size || given.sha256 != digest.sha256)
            throw std::runtime_error("A different file named " + name + " is already in " +
                                     textFromPath(dir));
    } else {
        digest = copyFileChecked(file, target, nullptr);
    }

    RemoteModpak added{{highest + 1, name}, {digest.size, digest.sha256}};
    for (FileEntry entry : retired) {
        entry.modPakNum = added.entry.modPakNum;
        files.push_back(entry);
    }
    if (!retired.empty()) writeFileList(serverFile(dir, fileListName), files);
    // The manifest last: until it names the modpak, no player fetches anything of it.
    modpaks.push_back(added);
    writeRemoteManifest(serverFile(dir, manifestName), modpaks);
    return added;
}

std::vector<std::string> checkServer(const fs::path& dir) {
    std::vector<std::string> problems;
    auto readProblem = [&](const char* name, auto&& read) {
        if (!fileExists(serverFile(dir, name))) {
            problems.push_back("Missing " + std::string(name));
            return;
        }
        try {
            read();
        } catch (const std::exception& error) {
            problems.push_back(std::string(name) + ": " + error.what());
        }
    };
    readProblem(configName, [&] { parseServerConfig(serverFile(dir, configName)); });
    std::vector<RemoteModpak> modpaks;
    readProblem(manifestName, [&] {
        modpaks = parseRemoteModpakList(serverFile(dir, manifestName), PromiseReading::eachKey);
    });
    std::vector<FileEntry> files;
    readProblem(fileListName, [&] { files = parseServerFileList(serverFile(dir, fileListName)); });

    std::map<std::int32_t, int> numbers;
    for (const RemoteModpak& modpak : modpaks) ++numbers[modpak.entry.modPakNum];
    for (const RemoteModpak& modpak : modpaks) {
        const ModpakEntry& entry = modpak.entry;
        const std::string label = modpakLabel(entry);
        if (numbers[entry.modPakNum] > 1) problems.push_back("Duplicate number for " + label);
        if (!cleanRelativeName(entry.name)) {
            problems.push_back("Unsafe name for " + label);
            continue;
        }
        const fs::path path = dir / pathFromText(entry.name);
        if (!fileExists(path)) {
            problems.push_back("Missing file for " + label);
            continue;
        }
        try {
            const ContentDigest found = digestFile(path);
            if (!modpak.promise.size || modpak.promise.sha256.empty())
                problems.push_back("No size or sha256 recorded for " + label);
            std::string mismatch = promiseMismatch(modpak.promise, found);
            if (!mismatch.empty())
                problems.push_back("Changed file for " + label + " (" + mismatch + ")");
            else if (isSevenZipName(entry.name))
                readArchiveThrough(path);
        } catch (const std::exception& error) {
            problems.push_back("Unreadable file for " + label + " (" + error.what() + ")");
        }
    }
    for (const FileEntry& entry : files) {
        const std::string label = "modpak " + std::to_string(entry.modPakNum) + ": " + entry.name;
        if (!cleanRelativeName(entry.name)) problems.push_back("Unsafe path retired by " + label);
        if (!modpaks.empty() && numbers.count(entry.modPakNum) == 0)
            problems.push_back("Retired path for unlisted " + label);
    }
    for (std::string& clash : caseClashes(dir)) problems.push_back(std::move(clash));
    return problems;
}

std::vector<RemoteModpak> rehashServer(const fs::path& dir) {
    std::vector<RemoteModpak> modpaks =
        parseRemoteModpakList(serverFile(dir, manifestName), PromiseReading::eachKey);
    std::vector<RemoteModpak> changed;
    for (RemoteModpak& modpak : modpaks) {
        std::optional<fs::path> name = cleanRelativeName(modpak.entry.name);
        if (!name) throw std::runtime_error("Refusing unsafe name: " + modpak.entry.name);
        const fs::path path = dir / *name;
        if (!fileExists(path))
            throw std::runtime_error("Missing file for " + modpakLabel(modpak.entry));
        const ContentDigest found = digestFile(path);
        if (modpak.promise.size && !modpak.promise.sha256.empty() &&
            promiseMismatch(modpak.promise, found).empty())
            continue;
        modpak.promise = {found.size, found.sha256};
        changed.push_back(modpak);
    }
    if (!changed.empty()) writeRemoteManifest(serverFile(dir, manifestName), modpaks);
    return changed;
}

std::vector<std::string> caseClashes(const fs::path& dir, std::int32_t onlyModpak) {
    std::vector<RemoteModpak> modpaks;
    std::vector<FileEntry> files;
    try {
        modpaks = parseRemoteModpakList(serverFile(dir, manifestName), PromiseReading::eachKey);
        files = parseServerFileList(serverFile(dir, fileListName));
    } catch (const std::exception&) {
        return {};
    }
    struct FirstSpelling {
        std::string name;
        std::int32_t modPakNum = 0;
    };
    ThreadUtf8Locale utf8Letters;
    std::map<std::wstring, FirstSpelling> seen;  // by the folded name
    std::set<std::pair<std::string, std::string>> reported;
    std::vector<std::string> clashes;
    for (const RemoteModpak& modpak : modpaks) {
        const std::int32_t number = modpak.entry.modPakNum;
        for (const std::string& name : namesOfModpak(dir, modpak.entry, files)) {
            // The name itself and each folder on its way ("Data/a.pak" and "data/b.pak" share a
            // folder on Windows only); a clash is told once, by the whole name when it clashes,
            // else by the shortest folder that does.
            std::vector<std::string> parts;
            for (std::size_t end = name.find('/'); end != std::string::npos;
                 end = name.find('/', end + 1))
                parts.push_back(name.substr(0, end));
            parts.insert(parts.begin(), name);
            bool told = false;
            for (const std::string& part : parts) {
                auto [first, isNew] =
                    seen.try_emplace(caseFolded(part), FirstSpelling{part, number});
                if (told || isNew || first->second.name == part) continue;
                told = true;
                if ((onlyModpak == 0 || onlyModpak == number) &&
                    reported.emplace(part, first->second.name).second)
                    clashes.push_back("Names differ only in case: " + part + " (modpak " +
                                      std::to_string(number) + ") and " + first->second.name +
                                      " (modpak " + std::to_string(first->second.modPakNum) + ")");
            }
        }
    }
    return clashes;
}
