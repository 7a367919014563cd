#include "manifest/manifests.h"

#include <string>
#include <utility>

#include "app/update_run.h"
#include "manifest/json_reader.h"
#include "transfer/fetch.h"
#include "transfer/paths.h"

namespace fs = std::filesystem;

std::vector<ModpakEntry> parseModpakList(const fs::path& path) {
    std::vector<ModpakEntry> list;
    for (const std::string& object : splitJsonObjects(readTextFile(path))) {
        ModpakEntry entry;
        entry.modPakNum = readIntField(object, "modPakNum");
        entry.name = readStringField(object, "name");
        list.push_back(std::move(entry));
    }
    return list;
}

std::vector<FileEntry> parseFileList(const fs::path& path) {
    std::vector<FileEntry> list;
    for (const std::string& object : splitJsonObjects(readTextFile(path))) {
        FileEntry entry;
        entry.modPakNum = readIntField(object, "modPakNum");
        entry.name = readStringField(object, "name");
        entry.isDirectory = readBoolField(object, "isDirectory");
        list.push_back(std::move(entry));
    }
    return list;
}

void loadManifests(UpdateRun& run) {
    const fs::path remotePath = run.rootDir / pathFromText("nuvramodremote1.json");
    fetchFile(run, run.config.url + "nuvramodremote1.json", remotePath);
    run.remoteModpaks = parseModpakList(remotePath);
    run.fileEntries = parseFileList(run.rootDir / pathFromText("nuvrafile.json"));
    const fs::path localPath = run.rootDir / pathFromText("nuvramodlocal.json");
    if (fileExists(localPath)) run.localModpaks = parseModpakList(localPath);
}

void removeRemoteFiles(UpdateRun& run) {
    for (const char* name : {"nuvrafile.json", "nuvramodremote1.json", "nuvraconfigremote.json"})
        removeQuietly(run.rootDir / pathFromText(name));
}
