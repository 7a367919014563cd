#include "manifest/json_writer.h"

#include <cstdio>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

// Default stream settings (general notation, 6 significant digits) in the classic locale, so the
// player's locale can neither change the decimal point nor add digit grouping. (std::to_string,
// used for integers, never groups digits.)
std::string formatNumber(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

}  // namespace

std::string escapeJsonString(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

void writeTextFile(const fs::path& path, const std::string& bytes) {
    // A fixed name in the same folder: the rename stays on one file system, and a run killed
    // before the rename leaves only this one file, which the next write replaces.
    fs::path temporary = path;
    temporary += ".tmp";
    bool written = false;
    {
        File file = createFreshFile(temporary);
        if (file) {
            written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                      flushToDisk(file.get());
            written = closeFile(file) && written;
        }
    }
    if (!written) {
        removeQuietly(temporary);
        throw std::runtime_error("Unable to write file: " + textFromPath(path));
    }
    try {
        renameFile(temporary, path);
    } catch (const FileSystemError&) {
        // The player must read which file could not be written, not the rename's two paths.
        removeQuietly(temporary);
        throw std::runtime_error("Unable to write file: " + textFromPath(path));
    }
}

void writeUpdaterConfig(const fs::path& path, const UpdaterConfig& config) {
    writeTextFile(path, "{\"nuvraVersion\":" + formatNumber(config.nuvraVersion) + ",\"url\":\"" +
                            escapeJsonString(config.url) + "\",\"os\":\"" +
                            escapeJsonString(config.os) + "\"}");
}

void writeLocalManifest(const fs::path& path, const std::vector<ModpakEntry>& list) {
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0) text += ",";
        text += "{\"modPakNum\":" + std::to_string(list[i].modPakNum) + ",\"name\":\"" +
                escapeJsonString(list[i].name) + "\"}";
    }
    text += "]";
    writeTextFile(path, text);
}

void writeRemoteManifest(const fs::path& path, const std::vector<RemoteModpak>& list) {
    // One object a line, so that an admin can read the file and compare versions of it.
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        text += i > 0 ? ",\n" : "\n";
        const ModpakEntry& entry = list[i].entry;
        const ModpakPromise& promise = list[i].promise;
        text += "{\"modPakNum\":" + std::to_string(entry.modPakNum) + ",\"name\":\"" +
                escapeJsonString(entry.name) + "\"";
        if (promise.size) text += ",\"size\":" + std::to_string(*promise.size);
        if (!promise.sha256.empty()) text += ",\"sha256\":\"" + promise.sha256 + "\"";
        text += "}";
    }
    text += list.empty() ? "]\n" : "\n]\n";
    writeTextFile(path, text);
}

void writeFileList(const fs::path& path, const std::vector<FileEntry>& list) {
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        text += i > 0 ? ",\n" : "\n";
        text += "{\"modPakNum\":" + std::to_string(list[i].modPakNum) + ",\"name\":\"" +
                escapeJsonString(list[i].name) +
                "\",\"isDirectory\":" + (list[i].isDirectory ? "true" : "false") + "}";
    }
    text += list.empty() ? "]\n" : "\n]\n";
    writeTextFile(path, text);
}
