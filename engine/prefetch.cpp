#include "engine/prefetch.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* hashedPrefix = "nuvraupdater-";
constexpr const char* partSuffix = ".part";

fs::path withPartSuffix(fs::path path) {
    path += partSuffix;
    return path;
}

void removeStaged(const fs::path& staged) {
    removeQuietly(withPartSuffix(staged));
    removeQuietly(staged);
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The hash a staging name of ours carries, and whether it names the part; none for other names.
std::optional<std::pair<std::string, bool>> stagedHash(const std::string& name) {
    std::string rest = name;
    if (rest.rfind(hashedPrefix, 0) != 0) return std::nullopt;
    rest.erase(0, std::char_traits<char>::length(hashedPrefix));
    const std::size_t suffix = std::char_traits<char>::length(partSuffix);
    const bool part = rest.size() == 64 + suffix && rest.compare(64, suffix, partSuffix) == 0;
    if (rest.size() != 64 && !part) return std::nullopt;
    rest.resize(64);
    if (!std::all_of(rest.begin(), rest.end(),
                     [](unsigned char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }))
        return std::nullopt;
    return std::make_pair(rest, part);
}

void download(Prefetch& prefetch) {
    const ByteProgress relay = [&prefetch](std::uint64_t received, std::uint64_t total) {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        prefetch.received = received;
        prefetch.total = total;
        prefetch.anyBytes = true;
        if (prefetch.watcher) (*prefetch.watcher)(received, total);
    };
    const RetryProgress retryRelay = [&prefetch](const std::string& text) {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        if (prefetch.retryWatcher) (*prefetch.retryWatcher)(text);
    };
    bool succeeded = false;
    try {
        downloadFile(prefetch.url, prefetch.staged, prefetch.check ? &*prefetch.check : nullptr,
                     &relay, &prefetch.cancelled, BodyEncoding::asSent, &retryRelay);
        succeeded = true;
    } catch (const std::exception&) {
        // The runner's own fetch meets the same trouble again and reports it in its place.
    }
    std::lock_guard<std::mutex> lock(prefetch.mutex);
    prefetch.succeeded = succeeded;
}

}  // namespace

bool isResumable(const std::optional<ContentCheck>& check) {
    // The hash becomes part of a file name: only the 64 hex digits the manifest allows.
    return check && allowsResume(*check) && check->sha256.size() == 64;
}

fs::path stagingPathFor(const fs::path& rootDir, const std::optional<ContentCheck>& check) {
    if (!isResumable(check)) return rootDir / pathFromText("nuvraupdater.next");
    return rootDir / pathFromText(hashedPrefix + lowerCase(check->sha256));
}

void removeStagingLeftovers(const fs::path& rootDir, const std::vector<ContentCheck>& pending) {
    removeStaged(rootDir / pathFromText("nuvraupdater.next"));
    std::vector<std::string> pendingHashes;
    for (const ContentCheck& check : pending)
        if (isResumable(check)) pendingHashes.push_back(lowerCase(check.sha256));
    std::error_code unreadable;
    std::vector<std::pair<fs::path, bool>> kept;  // whole staged files to keep, and their part
    for (fs::directory_iterator it(rootDir, unreadable), end; !unreadable && it != end;
         it.increment(unreadable)) {
        const fs::path& path = it->path();
        std::string name;
        try {
            name = textFromPath(path.filename());
        } catch (const std::exception&) {
            continue;  // not a name of ours
        }
        const auto staged = stagedHash(name);
        if (!staged) continue;
        const bool stillPending = std::find(pendingHashes.begin(), pendingHashes.end(),
                                            staged->first) != pendingHashes.end();
        // Only a regular file of ours is ever continued; a link planted under our name goes.
        std::error_code unknown;
        const bool regular = entryType(path, unknown) == EntryType::file;
        if (!stillPending || !regular)
            removeQuietly(path);
        else if (!staged->second)
            kept.emplace_back(path, fileExists(withPartSuffix(path)));
    }
    // After the walk: renaming inside the folder while it is read may show a name twice.
    for (const auto& [whole, hasPart] : kept) {
        if (hasPart) {
            removeQuietly(whole);
            continue;
        }
        try {
            renameFile(whole, withPartSuffix(whole));
        } catch (const std::exception&) {
            removeQuietly(whole);
        }
    }
}

Prefetch::~Prefetch() {
    cancelled = true;
    if (worker.joinable()) worker.join();
    // A cancelled download kept what may be continued; a whole file is kept as the sweep of the
    // next run expects it.
    if (!taken && !isResumable(check)) removeStaged(staged);
}

std::unique_ptr<Prefetch> startPrefetch(const fs::path& rootDir, std::size_t index, std::string url,
                                        std::optional<ContentCheck> check) {
    auto prefetch = std::make_unique<Prefetch>();
    prefetch->index = index;
    prefetch->url = std::move(url);
    prefetch->check = std::move(check);
    prefetch->staged = stagingPathFor(rootDir, prefetch->check);
    // A part under the shared name may belong to another modpak: never continue it.
    if (!isResumable(prefetch->check)) removeStaged(prefetch->staged);
    prefetch->worker = std::thread(download, std::ref(*prefetch));
    return prefetch;
}

bool takePrefetched(Prefetch& prefetch, const ByteProgress* progress,
                    const RetryProgress* retrying) {
    {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        prefetch.watcher = progress;
        prefetch.retryWatcher = retrying;
        if (progress && prefetch.anyBytes) (*progress)(prefetch.received, prefetch.total);
    }
    prefetch.worker.join();
    std::lock_guard<std::mutex> lock(prefetch.mutex);
    prefetch.watcher = nullptr;
    prefetch.retryWatcher = nullptr;
    prefetch.taken = prefetch.succeeded;
    return prefetch.succeeded;
}
