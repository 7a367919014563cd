// The Windows executable, run under wine, against the Linux one on the same scenarios: standard
// output, standard error, exit status and the resulting game folder must agree, paths aside.
// Run by `make test-windows` (windows/run-tests), which sets NUVRA_WINDOWS_EXE and the wine
// prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* wineProgram = "/usr/bin/wine";

fs::path windowsExecutable() {
    const char* exe = std::getenv("NUVRA_WINDOWS_EXE");
    if (!exe) throw std::runtime_error("NUVRA_WINDOWS_EXE is not set: run make test-windows");
    return exe;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// What a run leaves behind, with the run's own folders written as <game> and <mirror>.
struct Outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> tree;     // "name/" for folders, "name: contents" for files
    std::vector<std::string> outside;  // the folder beside the game that links point to

    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* os) {
    *os << "status " << outcome.status << "\n--- out\n"
        << outcome.out << "--- err\n"
        << outcome.err << "--- tree\n";
    for (const auto& line : outcome.tree) *os << line << "\n";
    *os << "--- outside\n";
    for (const auto& line : outcome.outside) *os << line << "\n";
}

// Links are listed as "name@", never entered.
std::vector<std::string> treeOf(const fs::path& root) {
    std::vector<std::string> lines;
    if (!fs::exists(root)) return lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string name = it->path().lexically_relative(root).generic_string();
        if (it->is_symlink())
            lines.push_back(name + "@");
        else
            lines.push_back(it->is_directory() ? name + "/"
                                               : name + ": " + readFileBytes(it->path()));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct Scenario {
    std::string name;
    // Fills the server's folder; `base` is the address the game's configuration names.
    std::function<void(const fs::path& server)> serve;
    bool overHttp = false;
    std::string localManifest;  // written to the game folder first when not empty
    std::string remoteVersion = "6";
    std::string codePageLocale;  // LC_ALL for wine, which takes the ANSI code page from it
    std::string failure;         // what the error line of a failing run says, ports aside
    // Called with the game folder before each run (after its nuvraconfig.json is written).
    std::function<void(const fs::path& game)> prepareGame;
    // Where wine cannot do what Windows does, the error line the .exe gives there instead, paths
    // aside. Wine follows a host link in every removal, whatever it is asked; the .exe must then
    // refuse rather than delete what the link points to. Nothing outside the game may change.
    std::optional<std::string> wineFailure;
    std::string gameFolder = "game";   // below the run's folder
    std::vector<std::string> options;  // after --headless --root <game>
    int status = 0;                    // of a run that fails without an error line
};

class DifferentialTest : public ::testing::TestWithParam<Scenario> {
protected:
    // Runs one build on a fresh game folder under `dir`.
    Outcome run(const fs::path& dir, bool windows) {
        const Scenario& scenario = GetParam();
        const fs::path game = dir / scenario.gameFolder;
        fs::create_directories(game);
        std::string base = server ? server->url("/") : "http://127.0.0.1:9/";
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + base + R"(","os":"any"})");
        if (!scenario.localManifest.empty())
            writeFileBytes(game / "nuvramodlocal.json", scenario.localManifest);
        if (scenario.prepareGame) scenario.prepareGame(game);

        // Under wine a Linux path is read as a path on the current drive, which wine maps to /.
        std::vector<std::string> args = {"--headless", "--root", game.string()};
        args.insert(args.end(), scenario.options.begin(), scenario.options.end());
        if (!scenario.overHttp) args.insert(args.end(), {"--source-dir", mirror.string()});
        ProcessResult result;
        if (windows) {
            args.insert(args.begin(), windowsExecutable().string());
            std::map<std::string, std::string> environment;
            if (!scenario.codePageLocale.empty()) environment["LC_ALL"] = scenario.codePageLocale;
            result = runProcess(wineProgram, args, dir, environment);
        } else {
            result = runProcess(updaterExecutable(), args, dir);
        }
        Outcome outcome{result.status, result.out, result.err, treeOf(game),
                        treeOf(dir / "outside")};
        for (std::string* text : {&outcome.out, &outcome.err}) {
            if (windows) {
                replaceAll(*text, "\r\n", "\n");
                replaceAll(*text, "\\", "/");
            }
            replaceAll(*text, game.string(), "<game>");
            replaceAll(*text, mirror.string(), "<mirror>");
        }
        return outcome;
    }

    void SetUp() override {
        const Scenario& scenario = GetParam();
        fs::create_directories(mirror);
        writeFileBytes(
            mirror / "nuvraconfigremote.json",
            R"({"nuvraVersion":)" + scenario.remoteVersion + R"(,"url":"x/","os":"any"})");
        writeFileBytes(mirror / "nuvrafile.json", "[]");
        scenario.serve(mirror);
        if (scenario.overHttp) {
            server.emplace(temp.path() / "http");
            for (const auto& item : fs::recursive_directory_iterator(mirror))
                if (item.is_regular_file())
                    server->serve(fs::relative(item.path(), mirror).generic_string(),
                                  readFileBytes(item.path()));
        }
    }

    TempDir temp;
    fs::path mirror = temp.path() / "mirror";
    std::optional<LoopbackServer> server;
};

// Three modpaks with folders, a file that is not an archive, a retired file, and a modpak that
// was applied before.
void threeModpaks(const fs::path& server) {
    writeSevenZip(server / "core.7z", {folderEntry("data"), fileEntry("data/rules.txt", "v1"),
                                       fileEntry("data/old.txt", "old")});
    // The mirror holds it by its last name component, the web server under its whole name.
    writeFileBytes(server / "readme.txt", "plain file");
    writeFileBytes(server / "docs" / "readme.txt", "plain file");
    writeSevenZip(server / "patch.7z",
                  {fileEntry("data/rules.txt", "v2"), fileEntry("maps/deep/a.map", "map")});
    writeFileBytes(server / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"core.7z"},{"modPakNum":2,"name":"docs/readme.txt"},)"
                   R"({"modPakNum":3,"name":"patch.7z"},{"modPakNum":9,"name":"done.7z"}])");
    writeFileBytes(server / "nuvrafile.json",
                   R"([{"modPakNum":3,"name":"data/old.txt","isDirectory":false}])");
}

// Entry names that code page 1252 lacks (Cyrillic), that 1251 lacks (accented Latin) and that
// neither holds (Greek), packed by 7-Zip itself from UTF-8 file names. Both builds must write
// them under their own names (wine stores file names as UTF-8, as Linux does here).
void namesOutsideAscii(const fs::path& server) {
    const fs::path source = server / "source";
    writeFileBytes(source / "caf\xc3\xa9.txt", "latin");
    writeFileBytes(source / "\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5" / "\xd1\x84.txt",
                   "cyrillic");
    writeFileBytes(source / "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1.txt", "greek");
    ProcessResult packed = runProcess(
        "/bin/sh",
        {"-c", "exec 7zz a -t7z -bd -mmt=1 \"$0\" . >/dev/null", (server / "names.7z").string()},
        source, {{"LC_ALL", "C.UTF-8"}});
    ASSERT_EQ(0, packed.status) << packed.err;
    fs::remove_all(source);
    writeFileBytes(server / "nuvramodremote1.json", R"([{"modPakNum":1,"name":"names.7z"}])");
}

std::string sha256Of(const fs::path& file) {
    const std::string bytes = readFileBytes(file);
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

// Modpaks with their sizes and hashes: the first one matches, the second one's file was
// replaced after its hash was taken.
void verifiedModpaks(const fs::path& server) {
    writeSevenZip(server / "good.7z", {fileEntry("good.txt", "good")});
    writeSevenZip(server / "bad.7z", {fileEntry("bad.txt", "before")});
    const std::string badHash = sha256Of(server / "bad.7z");
    writeSevenZip(server / "bad.7z", {fileEntry("bad.txt", "after!")});
    writeFileBytes(server / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"good.7z","size":)" +
                       std::to_string(fs::file_size(server / "good.7z")) + R"(,"sha256":")" +
                       sha256Of(server / "good.7z") +
                       R"("},{"modPakNum":2,"name":"bad.7z","size":)" +
                       std::to_string(fs::file_size(server / "bad.7z")) + R"(,"sha256":")" +
                       badHash + R"("}])");
}

// A server made and signed by the admins' tool, and a game folder that pins its key; then one
// byte of the signed modpak list changed, which both builds must refuse.
fs::path publisher() { return NUVRA_PUBLISH_EXE; }

void publishSigned(const fs::path& server, bool tampered) {
    const fs::path keys = server.parent_path() / "keys", source = server.parent_path() / "source";
    fs::create_directories(source);
    writeSevenZip(source / "signed.7z", {fileEntry("signed.txt", "signed")});
    fs::remove(server / "nuvraconfigremote.json");
    fs::remove(server / "nuvrafile.json");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"keygen", keys.string(), "--unencrypted"},
          {"init", server.string(), "--url", "x/"},
          {"add", server.string(), (source / "signed.7z").string()},
          {"sign", server.string(), "--secret-key", (keys / "nuvrapublish.key").string()}}) {
        ProcessResult made = runProcess(publisher(), args);
        ASSERT_EQ(0, made.status) << made.out << made.err;
    }
    fs::remove_all(source);
    if (tampered) {
        std::string list = readFileBytes(server / "nuvramodremote1.json");
        list.replace(list.find("signed.7z"), 9, "signeD.7z");
        writeFileBytes(server / "nuvramodremote1.json", list);
    }
}

// The signed server above, its three files signed again with the real minisign and an expiry
// two days past, beyond the day that players' clocks are allowed.
const std::int64_t twoDaysAgo = std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count() -
                                2 * 24 * 3600;

void publishExpired(const fs::path& server) {
    publishSigned(server, false);
    const fs::path key = server.parent_path() / "keys" / "nuvrapublish.key";
    for (const char* name : {"nuvraconfigremote.json", "nuvramodremote1.json", "nuvrafile.json"}) {
        ProcessResult made = runProcess(
            MINISIGN_EXE,
            {"-S", "-s", key.string(), "-m", (server / name).string(), "-t",
             "file:" + std::string(name) + "\tseq:2\texpires:" + std::to_string(twoDaysAgo)});
        ASSERT_EQ(0, made.status) << made.err;
    }
}

std::string expiredDay() {
    const std::time_t time = twoDaysAgo;
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&time));
    return text;
}

// The signed server above handed over to a new key, which the game folder must take up.
void publishRotated(const fs::path& server) {
    publishSigned(server, false);
    const fs::path keys = server.parent_path() / "keys", next = server.parent_path() / "next";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"keygen", next.string(), "--unencrypted"},
          {"rotate-key", "--old", (keys / "nuvrapublish.key").string(), "--new",
           (next / "nuvrapublish.key").string(), server.string()}}) {
        ProcessResult made = runProcess(publisher(), args);
        ASSERT_EQ(0, made.status) << made.out << made.err;
    }
}

void pinKey(const fs::path& game) {
    fs::copy_file(game.parent_path().parent_path() / "keys" / "nuvraupdater.pub",
                  game / "nuvraupdater.pub");
}

// A folder beside the game folder, with files, for links in the game folder to point to.
fs::path makeOutside(const fs::path& game) {
    const fs::path outside = game.parent_path() / "outside";
    writeFileBytes(outside / "keep.txt", "the player's");
    writeFileBytes(outside / "deep" / "keep.txt", "the player's too");
    return outside;
}

void oneModpak(const fs::path& server, const std::vector<SevenZipEntry>& entries) {
    writeSevenZip(server / "one.7z", entries);
    writeFileBytes(server / "nuvramodremote1.json", R"([{"modPakNum":1,"name":"one.7z"}])");
}

// Modpak 1 retires `name`; the game folder holds "linkout", a link to a folder outside, and
// "holder", a folder with a file and such a link. Only links may go, never what they point to.
// Under wine the first link met stays, and with it the run stops.
Scenario retiringALink(const std::string& scenario, const std::string& name, bool isDirectory) {
    const std::string kept = name.substr(0, name.find('/'));
    return {
        .name = scenario,
        .serve =
            [=](const fs::path& server) {
                oneModpak(server, {fileEntry("one.txt", "1")});
                writeFileBytes(server / "nuvrafile.json",
                               R"([{"modPakNum":1,"name":")" + name + R"(","isDirectory":)" +
                                   (isDirectory ? "true" : "false") + "}]");
            },
        .prepareGame =
            [](const fs::path& game) {
                const fs::path outside = makeOutside(game);
                writeFileBytes(game / "holder" / "own.txt", "the player's, inside");
                for (const char* link : {"linkout", "holder/inner"})
                    fs::create_directory_symlink(outside, game / link);
            },
        // Wine's wording of ERROR_NOT_SUPPORTED.
        .wineFailure = "Unable to delete <game>/" + kept + " for modpak 1: Request not supported."};
}

void linkOneFolder(const fs::path& game) {
    fs::create_directory_symlink(makeOutside(game), game / "linked");
}

// Every name the updater stages a download under, planted as a link to a folder outside; two
// promised modpaks over HTTP, so that the second is downloaded ahead and both may be resumed.
std::vector<std::string> promisedHashes;

void promisedPair(const fs::path& server) {
    writeSevenZip(server / "m1.7z", {fileEntry("one.txt", "1")});
    writeSevenZip(server / "m2.7z", {fileEntry("two.txt", "2")});
    promisedHashes = {sha256Of(server / "m1.7z"), sha256Of(server / "m2.7z")};
    std::string list = "[";
    for (const char* name : {"m1.7z", "m2.7z"})
        list += std::string(list.size() > 1 ? "," : "") + R"({"modPakNum":)" + name[1] +
                R"(,"name":")" + name + R"(","size":)" +
                std::to_string(fs::file_size(server / name)) + R"(,"sha256":")" +
                sha256Of(server / name) + R"("})";
    writeFileBytes(server / "nuvramodremote1.json", list + "]");
}

void linkStagingNames(const fs::path& game) {
    const fs::path outside = makeOutside(game);
    std::vector<std::string> names = {"m1.7z.part",
                                      "m2.7z.part",
                                      "m2.7z",
                                      "nuvraupdater.next",
                                      "nuvraupdater.next.part",
                                      "nuvramodlocal.json.tmp"};
    for (const std::string& hash : promisedHashes)
        names.insert(names.end(), {"nuvraupdater-" + hash, "nuvraupdater-" + hash + ".part"});
    for (const std::string& name : names) fs::create_directory_symlink(outside, game / name);
}

// A retired folder holding a read-only file, and a read-only file that an entry overwrites:
// Windows refuses to remove either until the attribute is cleared (wine reads it from the mode).
void readOnlyFiles(const fs::path& game) {
    for (const char* name : {"olddir/ro.txt", "data.txt"}) {
        writeFileBytes(game / name, "read-only");
        fs::permissions(game / name,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
}

// Entries and retired paths some 300 characters deep (past what Windows takes in the ordinary
// form), in folders of 60 characters.
std::string deepName(char letter, const std::string& last) {
    std::string name;
    for (int i = 0; i < 5; ++i) name += std::string(59, static_cast<char>(letter + i)) + "/";
    return name + last;
}

void deepModpaks(const fs::path& server) {
    writeSevenZip(server / "m1.7z", {fileEntry(deepName('a', "one.txt"), "1"),
                                     fileEntry(deepName('k', "kept.txt"), "kept")});
    writeSevenZip(server / "m2.7z", {fileEntry(deepName('p', "two.txt"), "2")});
    writeFileBytes(server / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"}])");
    // Modpak 2 retires a deep folder of modpak 1, and a deep file of it.
    std::string retired = deepName('a', "");
    retired.pop_back();
    writeFileBytes(server / "nuvrafile.json",
                   R"([{"modPakNum":2,"name":")" + retired.substr(0, retired.rfind('/')) +
                       R"(","isDirectory":true},{"modPakNum":2,"name":")" +
                       deepName('k', "kept.txt") + R"(","isDirectory":false}])");
}

// A game folder that an update applied modpak 1 to ("one.7z": data.txt "new" and maps/a.txt
// "a"), with its record, where data.txt has since changed and maps/a.txt has gone.
void damagedSinceTheUpdate(const fs::path& game) {
    writeFileBytes(game / "nuvrainstalled.json",
                   "[\n{\"modPakNum\":1,\"name\":\"one.7z\"},\n"
                   "{\"modPakNum\":1,\"size\":3,\"sha256\":"
                   "\"11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437\","
                   "\"path\":\"data.txt\"},\n"
                   "{\"modPakNum\":1,\"size\":1,\"sha256\":"
                   "\"ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb\","
                   "\"path\":\"maps/a.txt\"}\n]\n");
    writeFileBytes(game / "data.txt", "changed");
}

void dataAndMap(const fs::path& server) {
    oneModpak(server, {fileEntry("data.txt", "new"), fileEntry("maps/a.txt", "a")});
}

// A name of half a million folders, past what any system takes.
std::string endlessName() {
    std::string name;
    for (int i = 0; i < 500000; ++i) name += "a/";
    return name + "x.7z";
}

const std::string appliedBefore = R"([{"modPakNum":9,"name":"done.7z"}])";

const Scenario scenarios[] = {
    {.name = "MirrorUpdate", .serve = threeModpaks, .localManifest = appliedBefore},
    {.name = "HttpUpdate", .serve = threeModpaks, .overHttp = true, .localManifest = appliedBefore},
    {.name = "FailingModpakKeepsWhatWasApplied",
     .serve =
         [](const fs::path& server) {
             writeSevenZip(server / "one.7z", {fileEntry("one.txt", "1")});
             writeFileBytes(server / "nuvramodremote1.json",
                            R"([{"modPakNum":1,"name":"one.7z"},{"modPakNum":2,"name":"two.7z"}])");
         },
     .overHttp = true,
     .failure = "Download failed for <server>/two.7z: HTTP response code said error"},
    {.name = "VersionGate",
     .serve = [](const fs::path& server) { writeFileBytes(server / "nuvramodremote1.json", "[]"); },
     .remoteVersion = "7",
     .failure = "Nuvra Updater needs an update! Grab the latest and try again."},
    {.name = "UnsafeModpakName",
     .serve =
         [](const fs::path& server) {
             writeSevenZip(server / "evil.7z", {fileEntry("x.txt", "x")});
             writeFileBytes(server / "nuvramodremote1.json",
                            R"([{"modPakNum":3,"name":"../evil.7z"}])");
         },
     .failure = "Refusing unsafe path for modpak 3: ../evil.7z"},
    {.name = "ArchiveEntryOutsideTheGame",
     .serve =
         [](const fs::path& server) {
             writeSevenZip(server / "evil.7z",
                           {fileEntry("inside.txt", "in"), fileEntry("../outside.txt", "out")});
             writeFileBytes(server / "nuvramodremote1.json",
                            R"([{"modPakNum":1,"name":"evil.7z"}])");
         },
     .failure = "Blocked archive entry outside destination: <game>/../outside.txt"},
    {.name = "VerifiedModpaksFromTheMirror",
     .serve = verifiedModpaks,
     .failure = "Checksum mismatch for modpak 2: bad.7z"},
    {.name = "VerifiedModpaksOverHttp",
     .serve = verifiedModpaks,
     .overHttp = true,
     .failure = "Checksum mismatch for modpak 2: bad.7z"},
    {.name = "SignedServer",
     .serve = [](const fs::path& server) { publishSigned(server, false); },
     .overHttp = true,
     .prepareGame = pinKey},
    {.name = "SignedServerWithAChangedByte",
     .serve = [](const fs::path& server) { publishSigned(server, true); },
     .failure = "Signature check failed for nuvramodremote1.json: the signature does not match "
                "the file",
     .prepareGame = pinKey},
    {.name = "ExpiredPublication",
     .serve = publishExpired,
     .failure = "The server's signed files expired on " + expiredDay() +
                "; ask the server's admin to sign them again",
     .prepareGame = pinKey},
    {.name = "KeyRotation", .serve = publishRotated, .overHttp = true, .prepareGame = pinKey},
    retiringALink("RetiredLinkedFolder", "linkout", true),
    retiringALink("RetiredLinkedFolderWithASlash", "linkout/", true),
    retiringALink("RetiredLinkedFolderWithADot", "linkout/.", true),
    retiringALink("RetiredLinkedFolderAsAFile", "linkout", false),
    retiringALink("RetiredFolderHoldingALink", "holder", true),
    {.name = "EntryBeneathAPlantedLink",
     .serve =
         [](const fs::path& server) {
             oneModpak(server,
                       {fileEntry("inside.txt", "in"), fileEntry("linked/evil.txt", "out")});
         },
     .failure = "Blocked archive entry outside destination: <game>/linked/evil.txt",
     .prepareGame = linkOneFolder},
    {.name = "EntryBeneathALinkEntry",
     .serve =
         [](const fs::path& server) {
             oneModpak(server, {linkEntry("lnk", "../outside"), fileEntry("lnk/evil.txt", "out")});
         },
     .failure = "Blocked archive entry outside destination: <game>/lnk/evil.txt",
     .prepareGame = [](const fs::path& game) { makeOutside(game); },
     // Wine's CreateSymbolicLinkW makes nothing and reports success, so "lnk" is a real
     // folder inside the game there, and the entry lands in it.
     .wineFailure = ""},
    {.name = "EntryOverAPlantedLinkToAFile",
     .serve = [](const fs::path& server) { oneModpak(server, {fileEntry("data.txt", "new")}); },
     .prepareGame =
         [](const fs::path& game) {
             fs::create_symlink(makeOutside(game) / "keep.txt", game / "data.txt");
         },
     // Wine does not report a link to a file as a link at all.
     .wineFailure = "Unable to write archive entry: <game>/data.txt (Request not supported.)"},
    {.name = "StagingNamesThatAreLinkedFolders",
     .serve = promisedPair,
     .overHttp = true,
     .prepareGame = linkStagingNames,
     // Wine cannot remove a link to a folder.
     .wineFailure = "Unable to create file: <game>/nuvraupdater-<m1 hash>.part"},
    {.name = "ReadOnlyFilesRetiredAndOverwritten",
     .serve =
         [](const fs::path& server) {
             oneModpak(server, {fileEntry("data.txt", "new")});
             writeFileBytes(server / "nuvrafile.json",
                            R"([{"modPakNum":1,"name":"olddir","isDirectory":true}])");
         },
     .prepareGame = readOnlyFiles},
    {.name = "DeepEntriesInADeepGameFolder",
     .serve = deepModpaks,
     .gameFolder = std::string(100, 'g') + "/" + std::string(100, 'h') + "/game"},
    {.name = "ANameLongerThanAnySystemTakes",
     .serve =
         [](const fs::path& server) {
             writeFileBytes(server / "nuvramodremote1.json",
                            R"([{"modPakNum":1,"name":")" + endlessName() + R"("}])");
         },
     .failure = "Refusing unsafe path for modpak 1: " + endlessName()},
    {.name = "VerifyNamesWhatChangedAndChangesNothing",
     .serve = dataAndMap,
     .localManifest = R"([{"modPakNum":1,"name":"one.7z"}])",
     .prepareGame = damagedSinceTheUpdate,
     .options = {"--verify"},
     .status = 1},
    {.name = "RepairPutsBackWhatChanged",
     .serve = dataAndMap,
     .overHttp = true,
     .localManifest = R"([{"modPakNum":1,"name":"one.7z"}])",
     .prepareGame = damagedSinceTheUpdate,
     .options = {"--repair"}},
    // An earlier version applied the modpak: the repair records it from its archive.
    {.name = "RepairRecordsAFolderUpdatedWithoutARecord",
     .serve = dataAndMap,
     .localManifest = R"([{"modPakNum":1,"name":"one.7z"}])",
     .prepareGame = [](const fs::path& game) { writeFileBytes(game / "data.txt", "old"); },
     .options = {"--repair"}},
    {.name = "NamesOutsideAsciiUnderCodePage1252",
     .serve = namesOutsideAscii,
     .codePageLocale = "en_US.UTF-8"},
    {.name = "NamesOutsideAsciiUnderCodePage1251",
     .serve = namesOutsideAscii,
     .overHttp = true,
     .codePageLocale = "ru_RU.UTF-8"},
};

}  // namespace

TEST_P(DifferentialTest, WindowsAndLinuxAgree) {
    Outcome onLinux = run(temp.path() / "linux", false);
    Outcome onWindows = run(temp.path() / "windows", true);
    auto expectFailure = [&](const std::string& failure, const Outcome& outcome) {
        std::string err = outcome.err;
        if (server) replaceAll(err, server->url("/"), "<server>/");
        for (std::size_t i = 0; i < promisedHashes.size(); ++i)
            replaceAll(err, promisedHashes[i], "<m" + std::to_string(i + 1) + " hash>");
        EXPECT_EQ(failure.empty() ? "" : "Nuvra Updater error: " + failure + "\n", err);
        EXPECT_EQ(failure.empty() ? GetParam().status : 1, outcome.status);
    };
    expectFailure(GetParam().failure, onLinux);
    if (const auto& wineFailure = GetParam().wineFailure) {
        expectFailure(*wineFailure, onWindows);
        EXPECT_EQ(onLinux.outside, onWindows.outside);
    } else {
        EXPECT_EQ(onLinux, onWindows);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DifferentialTest, ::testing::ValuesIn(scenarios),
                         [](const auto& scenario) { return scenario.param.name; });

// On Windows the names in the JSON files are text in the ANSI code page: under 1251 the byte
// E0 is a Cyrillic a, so the modpak "\xE0.7z" is the file that Linux would call "\xD0\xB0.7z".
TEST(WindowsNames, ManifestNamesAreReadInTheAnsiCodePage) {
    TempDir temp;
    const fs::path game = temp.path() / "game", mirror = temp.path() / "mirror";
    writeFileBytes(game / "nuvraconfig.json",
                   R"({"nuvraVersion":6,"url":"http://127.0.0.1:9/","os":"any"})");
    writeFileBytes(mirror / "nuvraconfigremote.json",
                   R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    writeFileBytes(mirror / "nuvrafile.json", "[]");
    writeFileBytes(mirror / "nuvramodremote1.json", "[{\"modPakNum\":1,\"name\":\"\xE0.7z\"}]");
    writeSevenZip(mirror / "\xD0\xB0.7z", {fileEntry("a.txt", "cyrillic a")});
    ProcessResult result = runProcess(wineProgram,
                                      {windowsExecutable().string(), "--headless", "--root",
                                       game.string(), "--source-dir", mirror.string()},
                                      temp.path(), {{"LC_ALL", "ru_RU.UTF-8"}});
    EXPECT_EQ(0, result.status) << result.out << result.err;
    EXPECT_EQ("cyrillic a", readFileBytes(game / "a.txt"));
    EXPECT_EQ("[{\"modPakNum\":1,\"name\":\"\xE0.7z\"}]",
              readFileBytes(game / "nuvramodlocal.json"));
    EXPECT_TRUE(fs::exists(mirror / "\xD0\xB0.7z"));
}
