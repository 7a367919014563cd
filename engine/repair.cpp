#include "engine/repair.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include "engine/byte_progress.h"
#include "engine/installed_files.h"
#include "engine/update_run.h"
#include "manifest/manifests.h"
#include "platform/paths.h"
#include "transfer/content_check.h"
#include "transfer/fetch.h"
#include "transfer/restore_entries.h"
#include "transfer/safe_path.h"
#include "ui/notifications.h"

namespace fs = std::filesystem;

namespace {

bool sameEntry(const ModpakEntry& a, const ModpakEntry& b) {
    return a.modPakNum == b.modPakNum && a.name == b.name;
}

bool isAtOrBelow(const std::string& name, const std::string& folder) {
    return name == folder ||
           (name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0 &&
            name[folder.size()] == '/');
}

// What the server promises about the modpak's file, when it still lists it.
std::optional<ContentCheck> serverCheck(const UpdateRun& run, const ModpakEntry& entry) {
    for (std::size_t i = 0; i < run.remoteModpaks.size() && i < run.remotePromises.size(); ++i) {
        if (!sameEntry(run.remoteModpaks[i], entry)) continue;
        const ModpakPromise& promise = run.remotePromises[i];
        if (!promise.size && promise.sha256.empty()) return std::nullopt;
        return ContentCheck{promise.size, promise.sha256,
                            "modpak " + std::to_string(entry.modPakNum) + ": " + entry.name};
    }
    return std::nullopt;
}

struct Plan {
    // Applied modpaks, each once, in the order they were applied (the last application counts).
    std::vector<ModpakEntry> applied;
    // Damaged recorded files by name, with the index into `applied` of the modpak that owns them.
    std::map<std::string, std::size_t> damagedOwner;
    // Retired names with the last position at which a modpak retired them.
    std::vector<std::pair<std::string, std::size_t>> retired;
};

Plan planRepair(const UpdateRun& run, const InstalledRecord& record, const VerifyReport& report) {
    Plan plan;
    for (const ModpakEntry& entry : run.localModpaks) {
        auto same = [&](const ModpakEntry& e) { return sameEntry(e, entry); };
        plan.applied.erase(std::remove_if(plan.applied.begin(), plan.applied.end(), same),
                           plan.applied.end());
        plan.applied.push_back(entry);
    }
    for (const FileProblem& problem : report.problems) {
        // The latest recorded application of the owner's number put the file there.
        for (std::size_t i = plan.applied.size(); i-- > 0;) {
            if (plan.applied[i].modPakNum == problem.modPakNum &&
                isRecordedModpak(record, plan.applied[i])) {
                plan.damagedOwner[problem.name] = i;
                break;
            }
        }
    }
    for (const FileEntry& entry : run.fileEntries) {
        const std::string name = recordedServerName(entry.name);
        if (name.empty()) continue;
        for (std::size_t i = plan.applied.size(); i-- > 0;) {
            if (plan.applied[i].modPakNum == entry.modPakNum) {
                plan.retired.emplace_back(name, i);
                break;
            }
        }
    }
    return plan;
}

// Position in `applied` of the latest recorded modpak with this number; nullopt when none.
std::optional<std::size_t> ownerPosition(const Plan& plan, const InstalledRecord& record,
                                         std::int32_t modPakNum) {
    for (std::size_t i = plan.applied.size(); i-- > 0;)
        if (plan.applied[i].modPakNum == modPakNum && isRecordedModpak(record, plan.applied[i]))
            return i;
    return std::nullopt;
}

}  // namespace

RepairReport repairInstalledFiles(UpdateRun& run) {
    RepairReport result;
    InstalledRecord record = loadInstalledRecord(run.rootDir);
    reportStepProgress(run.window.get(), {0, 1, "Checking files"});
    const ByteProgress checking = windowByteProgress(run.window.get(), 0, 1, "Checking files", false);
    result.verified = verifyInstalledFiles(run.rootDir, record, run.localModpaks,
                                           checking ? &checking : nullptr);
    const Plan plan = planRepair(run, record, result.verified);

    for (std::size_t at = plan.applied.size(); at-- > 0;) {
        const ModpakEntry& modpak = plan.applied[at];
        const bool rebuild = !isRecordedModpak(record, modpak);
        std::map<std::string, std::string> owned;  // damaged names of this modpak, recorded hash
        for (const auto& [name, owner] : plan.damagedOwner)
            if (owner == at) owned[name] = record.files.at(name).sha256;
        if (!rebuild && owned.empty()) continue;

        const std::string number = std::to_string(modpak.modPakNum);
        const fs::path destination = safeTargetPath(run.rootDir, modpak.name, modpak.modPakNum);
        const std::optional<ContentCheck> check = serverCheck(run, modpak);
        const std::string what = "Fetching modpak " + number;
        reportStepProgress(run.window.get(), {0, 1, what});
        createDirectories(destination.parent_path());

        if (!isSevenZipName(modpak.name)) {
            // The modpak is the file itself: fetched over it, checked against the record when
            // the record has it.
            const std::string name = recordedServerName(modpak.name);
            auto recorded = record.files.find(name);
            const bool ownsIt = recorded != record.files.end() &&
                                recorded->second.modPakNum == modpak.modPakNum;
            std::optional<ContentCheck> own = check;
            if (ownsIt)
                own = ContentCheck{recorded->second.size, recorded->second.sha256,
                                   "modpak " + number + ": " + modpak.name};
            const bool wanted = owned.contains(name) || (rebuild && !ownsIt);
            if (wanted) {
                try {
                    fetchFile(run.options.sourceDir, run.config.url + modpak.name, destination,
                              own ? &*own : nullptr);
                    const ContentDigest digest = digestFile(destination);
                    record.files[name] =
                        InstalledFile{digest.size, digest.sha256, modpak.modPakNum};
                    if (owned.contains(name)) {
                        result.lines.push_back("Repaired: " + name + " (modpak " + number + ")");
                        ++result.repaired;
                    }
                } catch (const ContentMismatch&) {
                    result.lines.push_back("Refused: " + name + " (modpak " + number +
                                           "): the server's file no longer matches the record");
                    ++result.refused;
                }
            }
        } else {
            const std::optional<fs::path> inPlace =
                sourceFileInPlace(run.options.sourceDir, destination, check ? &*check : nullptr);
            if (!inPlace) {
                const ByteProgress fetching =
                    windowByteProgress(run.window.get(), 0, 1, what, true);
                fetchFile(run.options.sourceDir, run.config.url + modpak.name, destination,
                          check ? &*check : nullptr, fetching ? &fetching : nullptr);
            }
            const fs::path& archive = inPlace ? *inPlace : destination;
            auto wanted = [&](const fs::path& entryName) -> std::optional<std::string> {
                const std::string name = recordedName(entryName);
                if (auto damaged = owned.find(name); damaged != owned.end())
                    return damaged->second;
                if (!rebuild) return std::nullopt;
                // Taken over by a modpak applied after this one, or retired after it.
                if (auto file = record.files.find(name); file != record.files.end()) {
                    const std::optional<std::size_t> owner =
                        ownerPosition(plan, record, file->second.modPakNum);
                    if (owner && *owner > at) return std::nullopt;
                }
                for (const auto& [retired, position] : plan.retired)
                    if (position > at && isAtOrBelow(name, retired)) return std::nullopt;
                return std::string();
            };
            reportStepProgress(run.window.get(), {0, 1, "Repairing modpak " + number});
            const ByteProgress reading =
                windowByteProgress(run.window.get(), 0, 1, "Repairing modpak " + number, false);
            std::vector<RestoredEntry> restored = restoreEntries(
                archive, run.rootDir, wanted, reading ? &reading : nullptr, &destination);
            for (const RestoredEntry& entry : restored) {
                const std::string name = recordedName(entry.name);
                const bool wasDamaged = owned.erase(name) > 0;
                if (entry.outcome == RestoreOutcome::refused) {
                    result.lines.push_back("Refused: " + name + " (modpak " + number +
                                           "): the server's archive no longer holds it as recorded");
                    ++result.refused;
                    continue;
                }
                record.files[name] = InstalledFile{entry.size, entry.sha256, modpak.modPakNum};
                if (entry.outcome == RestoreOutcome::restored) {
                    result.lines.push_back("Repaired: " + name + " (modpak " + number + ")");
                    ++result.repaired;
                } else if (wasDamaged) {
                    ++result.repaired;  // put right meanwhile, by an earlier attempt
                }
            }
            for (const auto& [name, sha] : owned) {
                result.lines.push_back("Refused: " + name + " (modpak " + number +
                                       "): not in the server's archive");
                ++result.refused;
            }
            if (!inPlace) removeQuietly(destination);
        }
        if (rebuild) {
            record.modpaks.push_back(modpak);
            result.lines.push_back("Recorded modpak " + number + " (" + modpak.name +
                                   ") from its archive");
        }
        saveInstalledRecord(run.rootDir, record);
    }
    return result;
}

std::string repairSummary(const RepairReport& report) {
    return "Repaired " + std::to_string(report.repaired) + " files; " +
           std::to_string(report.refused) + " refused.";
}
