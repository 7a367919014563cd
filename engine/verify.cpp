#include "engine/verify.h"

#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "platform/paths.h"
#include "transfer/background_sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t readSize = 256 * 1024;

bool staysBelow(const fs::path& relative) {
    if (relative.empty() || !relative.is_relative() || relative.has_root_name()) return false;
    for (const fs::path& part : relative)
        if (part == "..") return false;
    return true;
}

// Whether a file's folder lies inside the root, links followed; remembered per folder, as most
// files share their folder with the one before.
struct FolderCheck {
    fs::path canonicalRoot;
    std::unordered_map<fs::path::string_type, bool> known;

    bool inside(const fs::path& folder) {
        auto [at, added] = known.try_emplace(folder.native(), false);
        if (added) {
            try {
                at->second = isInsideFolder(weaklyCanonical(folder), canonicalRoot);
            } catch (const std::exception&) {
                at->second = false;
            }
        }
        return at->second;
    }
};

}  // namespace

VerifyReport verifyInstalledFiles(const fs::path& rootDir, const InstalledRecord& record,
                                  const std::vector<ModpakEntry>& localModpaks,
                                  const ByteProgress* progress) {
    VerifyReport report;
    for (const ModpakEntry& entry : localModpaks)
        if (!isRecordedModpak(record, entry)) report.notRecorded.push_back(entry);

    std::uint64_t total = 0;
    for (const auto& [name, file] : record.files) total += file.size;
    std::uint64_t done = 0;

    FolderCheck folders{weaklyCanonical(rootDir), {}};
    BackgroundSha256 hashing;
    auto buffer = std::make_unique_for_overwrite<char[]>(readSize);
    std::vector<std::optional<FileProblem>> found;  // per recorded file, in order
    std::vector<std::size_t> hashedAt;              // index into `found` of each hashed file

    for (const auto& [name, file] : record.files) {
        ++report.checked;
        found.emplace_back();
        const fs::path relative = pathFromRecordedName(name);
        const fs::path target = rootDir / relative;
        if (!staysBelow(relative) || !folders.inside(target.parent_path())) {
            found.back() = FileProblem{name, file.modPakNum, false};
            continue;
        }
        std::error_code code;
        const EntryType type = entryType(target, code);
        if (code || type != EntryType::file) {
            found.back() = FileProblem{name, file.modPakNum, !code && type == EntryType::absent};
            continue;
        }
        if (fs::file_size(target, code) != file.size || code) {
            found.back() = FileProblem{name, file.modPakNum, false};
            continue;
        }
        File stream(openFileForReading(target));
        if (!stream) {
            found.back() = FileProblem{name, file.modPakNum, false};
            continue;
        }
        for (;;) {
            const std::size_t got = std::fread(buffer.get(), 1, readSize, stream.get());
            if (got > 0) hashing.update(buffer.get(), got);
            done += got;
            if (progress) (*progress)(done, total);
            if (got < readSize) break;
        }
        const bool readWhole = !std::ferror(stream.get());
        hashing.endStream();
        hashedAt.push_back(found.size() - 1);
        if (!readWhole) found.back() = FileProblem{name, file.modPakNum, false};
    }

    const std::vector<Sha256Digest> digests = hashing.takeDigests();
    std::size_t index = 0;
    auto file = record.files.begin();
    for (std::size_t at = 0; at < found.size(); ++at, ++file) {
        if (index < hashedAt.size() && hashedAt[index] == at) {
            if (hexDigest(digests[index]) != file->second.sha256 && !found[at])
                found[at] = FileProblem{file->first, file->second.modPakNum, false};
            ++index;
        }
        if (found[at]) report.problems.push_back(std::move(*found[at]));
    }
    return report;
}

std::vector<std::string> problemLines(const VerifyReport& report) {
    std::vector<std::string> lines;
    for (const FileProblem& problem : report.problems)
        lines.push_back(std::string(problem.missing ? "Missing: " : "Changed: ") + problem.name +
                        " (modpak " + std::to_string(problem.modPakNum) + ")");
    for (const ModpakEntry& entry : report.notRecorded)
        lines.push_back("Not recorded: modpak " + std::to_string(entry.modPakNum) + " (" +
                        entry.name + ")");
    return lines;
}

std::string verifySummary(const VerifyReport& report) {
    std::size_t missing = 0;
    for (const FileProblem& problem : report.problems) missing += problem.missing ? 1 : 0;
    std::string text = "Checked " + std::to_string(report.checked) + " files: " +
                       std::to_string(report.problems.size() - missing) + " changed, " +
                       std::to_string(missing) + " missing";
    if (!report.notRecorded.empty())
        text += "; " + std::to_string(report.notRecorded.size()) + " modpak(s) not recorded";
    return text + ".";
}
