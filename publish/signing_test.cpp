// Signed server folders end to end: nuvrapublish and minisign sign, the real updater checks.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "manifest/signature.h"
#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const char* const serverFiles[] = {"nuvraconfigremote.json", "nuvramodremote1.json",
                                   "nuvrafile.json"};

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-10", as the updater names a day.
std::string dayOf(std::int64_t seconds) {
    const std::time_t time = seconds;
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&time));
    return text;
}

// The words of a signature file's trusted comment.
std::string trustedCommentOf(const std::string& signature) {
    return parseSignature(signature)->trustedComment;
}

struct SigningTest : ::testing::Test {
    TempDir temp;
    LoopbackServer http{temp.path() / "http"};
    fs::path dir = http.folder();
    fs::path keys = temp.path() / "keys";
    fs::path game = temp.path() / "game";

    ProcessResult publish(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& environment = {}) {
        return runProcess(NUVRA_PUBLISH_EXE, args, {}, environment);
    }
    ProcessResult update() {
        return runProcess(NUVRA_UPDATER_EXE, {"--headless", "--root", game.string()});
    }
    std::string keyIdOf(const fs::path& pub) {
        const std::string text = readFileBytes(pub);
        return keyIdText(publicKeyFromBase64(text.substr(text.find('\n') + 1, 56))->keyId);
    }

    // A server of one modpak signed with an unencrypted key, and a game folder that pins it.
    void SetUp() override {
        ASSERT_EQ(0, publish({"init", dir.string(), "--url", http.url("/")}).status);
        writeSevenZip(temp.path() / "mod1.7z", {fileEntry("data/core.txt", "core")});
        ASSERT_EQ(0, publish({"add", dir.string(), (temp.path() / "mod1.7z").string()}).status);
        ProcessResult made = publish({"keygen", keys.string(), "--unencrypted"});
        ASSERT_EQ(0, made.status) << made.err;
        ProcessResult signedDir =
            publish({"sign", dir.string(), "--secret-key", (keys / "nuvrapublish.key").string()});
        ASSERT_EQ("Signed the server files with sequence 1 (key " +
                      keyIdOf(keys / "nuvraupdater.pub") + ")\n",
                  signedDir.out);
        fs::create_directories(game);
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + http.url("/") + R"(","os":"any"})");
        fs::copy_file(keys / "nuvraupdater.pub", game / "nuvraupdater.pub");
    }

    // Signs the server file `name` with the real minisign and the key in `keyDir` (the test's
    // own unless given), under `comment`.
    void signWithComment(const std::string& name, const std::string& comment,
                         const fs::path& keyDir = {}) {
        const fs::path key = (keyDir.empty() ? keys : keyDir) / "nuvrapublish.key";
        ProcessResult made = runProcess(
            MINISIGN_EXE, {"-S", "-s", key.string(), "-m", (dir / name).string(), "-t", comment});
        ASSERT_EQ(0, made.status) << made.err;
    }
    void signAll(const std::string& words, const fs::path& keyDir = {}) {
        for (const char* name : serverFiles)
            signWithComment(name, "file:" + std::string(name) + "\t" + words, keyDir);
    }

    void expectNothingChanged(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("Nuvra Updater error: " + message + "\n", result.err);
        EXPECT_FALSE(fs::exists(game / "data"));
        EXPECT_FALSE(fs::exists(game / "nuvramodlocal.json"));
        EXPECT_FALSE(fs::exists(game / "nuvrasequence.json"));
    }
};

}  // namespace

TEST_F(SigningTest, SignedServerUpdatesAndRecordsItsSequence) {
    ProcessResult result = update();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("core", readFileBytes(game / "data" / "core.txt"));
    EXPECT_EQ(R"([{"keyId":")" + keyIdOf(game / "nuvraupdater.pub") + R"(","sequence":1}])",
              readFileBytes(game / "nuvrasequence.json"));
    for (const char* name : serverFiles)
        EXPECT_FALSE(fs::exists(game / (std::string(name) + ".minisig")));
}

TEST_F(SigningTest, WhatTheKeyDidNotSignStopsTheRunBeforeAnythingChanges) {
    const std::string secretKey = (keys / "nuvrapublish.key").string();
    const std::int64_t now = secondsNow();
    const std::int64_t twoDays = 2 * 24 * 3600;
    const std::string prefix = "Signature check failed for ";
    ASSERT_EQ(0, publish({"keygen", (temp.path() / "other").string(), "--unencrypted"}).status);
    struct Case {
        std::string name;
        std::function<void()> breakServer;
        std::string message;
    } cases[] = {
        {"changed config",
         [&] { writeFileBytes(dir / serverFiles[0], " " + readFileBytes(dir / serverFiles[0])); },
         prefix + "nuvraconfigremote.json: the signature does not match the file"},
        {"changed manifest",
         [&] { writeFileBytes(dir / serverFiles[1], " " + readFileBytes(dir / serverFiles[1])); },
         prefix + "nuvramodremote1.json: the signature does not match the file"},
        {"changed file list",
         [&] { writeFileBytes(dir / serverFiles[2], " " + readFileBytes(dir / serverFiles[2])); },
         prefix + "nuvrafile.json: the signature does not match the file"},
        {"missing signature", [&] { fs::remove(dir / "nuvrafile.json.minisig"); },
         "Download failed for " + http.url("/nuvrafile.json.minisig") +
             ": HTTP response code said error"},
        {"another key",
         [&] {
             ASSERT_EQ(0, publish({"sign", dir.string(), "--secret-key",
                                   (temp.path() / "other" / "nuvrapublish.key").string()})
                              .status);
         },
         prefix + "nuvraconfigremote.json: signed by another key (key id " +
             keyIdOf(temp.path() / "other" / "nuvraupdater.pub") + ", expected " +
             keyIdOf(keys / "nuvraupdater.pub") + ")"},
        // Both byte for byte as signed, yet the file list's signature names the file list.
        {"file list served as the manifest",
         [&] {
             fs::copy_file(dir / serverFiles[2], dir / serverFiles[1],
                           fs::copy_options::overwrite_existing);
             fs::copy_file(dir / "nuvrafile.json.minisig", dir / "nuvramodremote1.json.minisig",
                           fs::copy_options::overwrite_existing);
         },
         prefix + "nuvramodremote1.json: signed as nuvrafile.json"},
        {"entry without sha256",
         [&] {
             writeFileBytes(dir / serverFiles[1], R"([{"modPakNum":1,"name":"mod1.7z"}])");
             ASSERT_EQ(0, publish({"sign", dir.string(), "--secret-key", secretKey}).status);
         },
         "Missing sha256 for modpak 1: mod1.7z (signed server files must give one)"},
        {"entry without size",
         [&] {
             writeFileBytes(dir / serverFiles[1], R"([{"modPakNum":1,"name":"mod1.7z","sha256":")" +
                                                      std::string(64, '0') + R"("}])");
             ASSERT_EQ(0, publish({"sign", dir.string(), "--secret-key", secretKey}).status);
         },
         "Missing size for modpak 1: mod1.7z (signed server files must give one)"},
        {"expired two days ago",
         [&] { signAll("seq:2\texpires:" + std::to_string(now - twoDays)); },
         "The server's signed files expired on " + dayOf(now - twoDays) +
             "; ask the server's admin to sign them again"},
        {"file list of another publication",
         [&] { signWithComment("nuvrafile.json", "file:nuvrafile.json seq:2"); },
         "The server's signed files are from different publications: nuvraconfigremote.json is "
         "signed with sequence 1, nuvrafile.json with sequence 2"},
    };
    const std::map<fs::path, std::string> original = [&] {
        std::map<fs::path, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir))
            files[entry.path()] = readFileBytes(entry.path());
        return files;
    }();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.breakServer();
        expectNothingChanged(update(), c.message);
        for (const auto& [path, bytes] : original) writeFileBytes(path, bytes);
    }
}

// Each run raises the accepted sequence to the publication it applied; the same publication is
// accepted again, an older one replayed whole after a newer is refused.
TEST_F(SigningTest, AcceptedSequenceRisesRunByRunAndAReplayIsRefused) {
    std::map<std::string, std::string> oldPublication;
    for (const char* name : serverFiles)
        for (const std::string& file : {std::string(name), std::string(name) + ".minisig"})
            oldPublication[file] = readFileBytes(dir / file);
    // A number accepted under another key (an earlier server's) counts for that key only.
    const std::string otherKey = R"({"keyId":"0123456789ABCDEF","sequence":7})";
    writeFileBytes(game / "nuvrasequence.json", "[" + otherKey + "]");
    const auto accepted = [&](int sequence) {
        return "[" + otherKey + R"(,{"keyId":")" + keyIdOf(game / "nuvraupdater.pub") +
               R"(","sequence":)" + std::to_string(sequence) + "}]";
    };
    for (int run = 0; run < 2; ++run) {
        ProcessResult result = update();
        EXPECT_EQ(0, result.status) << result.err;
        EXPECT_EQ(accepted(1), readFileBytes(game / "nuvrasequence.json"));
    }
    writeFileBytes(temp.path() / "readme.txt", "read me");
    ProcessResult added = publish({"add", dir.string(), (temp.path() / "readme.txt").string(),
                                   "--secret-key", (keys / "nuvrapublish.key").string()});
    EXPECT_EQ(0, added.status) << added.err;
    EXPECT_NE(std::string::npos, added.out.find("Signed the server files with sequence 2"));
    ProcessResult result = update();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("read me", readFileBytes(game / "readme.txt"));
    EXPECT_EQ(accepted(2), readFileBytes(game / "nuvrasequence.json"));
    const std::string local = readFileBytes(game / "nuvramodlocal.json");

    for (const auto& [file, bytes] : oldPublication) writeFileBytes(dir / file, bytes);
    result = update();
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(
        "Nuvra Updater error: Refusing an older server manifest: nuvraconfigremote.json is "
        "signed with sequence 1, and this game folder already accepted sequence 2\n",
        result.err);
    EXPECT_EQ(local, readFileBytes(game / "nuvramodlocal.json"));
    EXPECT_EQ(accepted(2), readFileBytes(game / "nuvrasequence.json"));
}

TEST_F(SigningTest, ChangingASignedFolderNeedsTheKey) {
    writeFileBytes(temp.path() / "readme.txt", "read me");
    const std::string manifest = readFileBytes(dir / "nuvramodremote1.json");
    ProcessResult result = publish({"add", dir.string(), (temp.path() / "readme.txt").string()});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("nuvrapublish: No secret key to sign " + dir.string() +
                  " with after add: give --secret-key KEY or set NUVRA_SECRET_KEY\n",
              result.err);
    EXPECT_EQ(manifest, readFileBytes(dir / "nuvramodremote1.json"));
    EXPECT_FALSE(fs::exists(dir / "readme.txt"));
}

// Both ways with the real tool: minisign's signatures and encrypted keys work here, and
// nuvrapublish's encrypted keys and signatures work in minisign.
TEST_F(SigningTest, InteroperatesWithMinisign) {
    const std::string password = "correct horse";
    const fs::path theirs = temp.path() / "theirs";
    fs::create_directories(theirs);
    auto shell = [&](const std::string& command) { return runProcess("/bin/sh", {"-c", command}); };
    ProcessResult made = shell("printf '%s\\n%s\\n' '" + password + "' '" + password + "' | " +
                               MINISIGN_EXE + " -G -p " + (theirs / "minisign.pub").string() +
                               " -s " + (theirs / "minisign.key").string());
    ASSERT_EQ(0, made.status) << made.err;
    for (const char* name : serverFiles) {
        ProcessResult signedFile =
            shell("printf '%s\\n' '" + password + "' | " + MINISIGN_EXE + " -S -s " +
                  (theirs / "minisign.key").string() + " -m " + (dir / name).string());
        ASSERT_EQ(0, signedFile.status) << signedFile.err;
    }
    fs::copy_file(theirs / "minisign.pub", game / "nuvraupdater.pub",
                  fs::copy_options::overwrite_existing);
    ProcessResult result = update();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("core", readFileBytes(game / "data" / "core.txt"));

    // minisign's encrypted key in nuvrapublish, with a wrong password first.
    result = publish({"sign", dir.string(), "--secret-key", (theirs / "minisign.key").string()},
                     {{"NUVRA_KEY_PASSWORD", "wrong"}});
    EXPECT_EQ("nuvrapublish: Wrong password for " + (theirs / "minisign.key").string() + "\n",
              result.err);
    result =
        publish({"sign", dir.string()}, {{"NUVRA_KEY_PASSWORD", password},
                                         {"NUVRA_SECRET_KEY", (theirs / "minisign.key").string()}});
    EXPECT_EQ(0, result.status) << result.err;
    for (const char* name : serverFiles) {
        ProcessResult verified = runProcess(
            MINISIGN_EXE,
            {"-V", "-q", "-p", (theirs / "minisign.pub").string(), "-m", (dir / name).string()});
        EXPECT_EQ(0, verified.status) << name << verified.err;
    }

    // nuvrapublish's encrypted key in minisign.
    const fs::path ours = temp.path() / "ours";
    result = publish({"keygen", ours.string()}, {{"NUVRA_KEY_PASSWORD", password}});
    ASSERT_EQ(0, result.status) << result.err;
    writeFileBytes(temp.path() / "note.txt", "note");
    ProcessResult signedNote =
        shell("printf '%s\\n' '" + password + "' | " + MINISIGN_EXE + " -S -s " +
              (ours / "nuvrapublish.key").string() + " -m " + (temp.path() / "note.txt").string());
    ASSERT_EQ(0, signedNote.status) << signedNote.err;
    ProcessResult verified =
        runProcess(MINISIGN_EXE, {"-V", "-q", "-p", (ours / "nuvraupdater.pub").string(), "-m",
                                  (temp.path() / "note.txt").string()});
    EXPECT_EQ(0, verified.status) << verified.err;
}

// Signatures carry their expiry: 30 days unless asked otherwise; a player's clock a day off
// still takes a fresh publication.
TEST_F(SigningTest, SignaturesExpireAsAskedWithADayOfSlack) {
    const std::string secretKey = (keys / "nuvrapublish.key").string();
    const std::int64_t now = secondsNow();
    struct Case {
        std::vector<std::string> options;
        std::int64_t lifetime;  // 0: never
    } cases[] = {{{}, 30 * 86400}, {{"--expires", "2"}, 2 * 86400}, {{"--expires", "never"}, 0}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"sign", dir.string(), "--secret-key", secretKey};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(0, publish(args).status);
        const std::string comment = trustedCommentOf(readFileBytes(dir / "nuvrafile.json.minisig"));
        const auto expires = static_cast<std::int64_t>(*expiryOf(comment));
        if (c.lifetime == 0)
            EXPECT_EQ(0, expires) << comment;
        else
            EXPECT_NEAR(static_cast<double>(now + c.lifetime), static_cast<double>(expires), 600)
                << comment;
    }
    ProcessResult refused =
        publish({"sign", dir.string(), "--secret-key", secretKey, "--expires", "0"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("nuvrapublish: Invalid --expires 0: a number of days from 1 to 36500, or never\n",
              refused.err);

    signAll("seq:9\texpires:" + std::to_string(now - 3600));
    ProcessResult result = update();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("core", readFileBytes(game / "data" / "core.txt"));
}

// A server file without end is cut off where no real one reaches, before it fills the disk or
// the memory of the reader.
TEST_F(SigningTest, OversizedServerFileIsRefusedWhileItArrives) {
    writeFileBytes(dir / "nuvrafile.json", "[" + std::string(70 << 20, ' ') + "]");
    ASSERT_EQ(0,
              publish({"sign", dir.string(), "--secret-key", (keys / "nuvrapublish.key").string()})
                  .status);
    ProcessResult result = update();
    expectNothingChanged(result, "Refusing nuvrafile.json: larger than 67108864 bytes");
    EXPECT_FALSE(fs::exists(game / "nuvrafile.json.part"));
#ifndef __SANITIZE_ADDRESS__
    // Reading the whole file would take more than its 70 MiB. (AddressSanitizer keeps freed
    // buffers in quarantine, so its builds hold far more than the program asks for.)
    EXPECT_LT(result.peakKiB, 64 << 10);
#endif

    // A server that never stops sending is cut off, not read to its end.
    writeFileBytes(game / "nuvraconfig.json",
                   R"({"nuvraVersion":6,"url":")" + http.url("/endless/") + R"(","os":"any"})");
    expectNothingChanged(update(),
                         "Refusing nuvraconfigremote.json: larger than 67108864 bytes");
    EXPECT_FALSE(fs::exists(dir / "nuvraconfigremote.json.sent"));
}

// The old key hands the folder over: the updater pins the new key in place of the link it found
// (the shared file behind the link stays as it was), and the old key's publications no longer
// pass, not even with the rotation still on the server.
TEST_F(SigningTest, KeyRotationIsFollowedAndTheOldKeyIsRefusedAfterIt) {
    const fs::path next = temp.path() / "next";
    ASSERT_EQ(0, publish({"keygen", next.string(), "--unencrypted"}).status);
    std::map<std::string, std::string> oldPublication;
    for (const char* name : serverFiles)
        for (const std::string& file : {std::string(name), std::string(name) + ".minisig"})
            oldPublication[file] = readFileBytes(dir / file);
    fs::remove(game / "nuvraupdater.pub");
    fs::create_symlink(keys / "nuvraupdater.pub", game / "nuvraupdater.pub");
    const std::string oldId = keyIdOf(keys / "nuvraupdater.pub");
    const std::string newId = keyIdOf(next / "nuvraupdater.pub");

    ProcessResult rotated = publish({"rotate-key", "--old", (keys / "nuvrapublish.key").string(),
                                     "--new", (next / "nuvrapublish.key").string(), dir.string()});
    ASSERT_EQ(0, rotated.status) << rotated.err;
    EXPECT_EQ("Published the new key " + newId + ", signed by the old key " + oldId +
                  ", and signed the server files with sequence 2 (key " + newId + ")\n",
              rotated.out);
    EXPECT_EQ(0, runProcess(MINISIGN_EXE, {"-V", "-q", "-p", (keys / "nuvraupdater.pub").string(),
                                           "-m", (dir / "nuvrakey.pub").string()})
                     .status);
    // The new key counts on from the old key's last publication.
    EXPECT_EQ(1u, sequenceOf(trustedCommentOf(readFileBytes(dir / "nuvrakey.pub.minisig"))));

    for (int run = 0; run < 2; ++run) {
        ProcessResult result = update();
        EXPECT_EQ(0, result.status) << result.err;
        EXPECT_FALSE(fs::is_symlink(game / "nuvraupdater.pub"));
        EXPECT_EQ(newId, keyIdOf(game / "nuvraupdater.pub"));
        EXPECT_EQ(R"([{"keyId":")" + newId + R"(","sequence":2}])",
                  readFileBytes(game / "nuvrasequence.json"));
        EXPECT_FALSE(fs::exists(game / "nuvrakey.pub"));
    }
    EXPECT_EQ("core", readFileBytes(game / "data" / "core.txt"));
    EXPECT_EQ(oldId, keyIdOf(keys / "nuvraupdater.pub"));

    for (const auto& [file, bytes] : oldPublication) writeFileBytes(dir / file, bytes);
    ProcessResult replayed = update();
    EXPECT_EQ(1, replayed.status);
    EXPECT_EQ(
        "Nuvra Updater error: Signature check failed for nuvraconfigremote.json: signed by "
        "another key (key id " +
            oldId + ", expected " + newId + ")\n",
        replayed.err);
    EXPECT_EQ(newId, keyIdOf(game / "nuvraupdater.pub"));
}

// A rotation that the pinned key did not sign, or whose new key was changed after signing,
// changes nothing in the game folder.
TEST_F(SigningTest, RotationNotSignedByThePinnedKeyIsRefused) {
    const fs::path other = temp.path() / "other";
    const fs::path next = temp.path() / "next";
    for (const fs::path& keyDir : {other, next})
        ASSERT_EQ(0, publish({"keygen", keyDir.string(), "--unencrypted"}).status);
    const std::string pinned = readFileBytes(game / "nuvraupdater.pub");
    const std::string newId = keyIdOf(next / "nuvraupdater.pub");
    struct Case {
        std::string name;
        fs::path oldKey;
        std::string message;
    } cases[] = {
        {"another key", other / "nuvrapublish.key",
         "Refusing the key rotation on the server: the new key " + newId + " is signed by key " +
             keyIdOf(other / "nuvraupdater.pub") + ", not by this game folder's key " +
             keyIdOf(keys / "nuvraupdater.pub")},
        {"new key swapped after signing", keys / "nuvrapublish.key",
         "Signature check failed for nuvrakey.pub: the signature does not match the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult rotated = publish({"rotate-key", "--old", c.oldKey.string(), "--new",
                                         (next / "nuvrapublish.key").string(), dir.string()});
        ASSERT_EQ(0, rotated.status) << rotated.err;
        if (c.oldKey == keys / "nuvrapublish.key")
            fs::copy_file(other / "nuvraupdater.pub", dir / "nuvrakey.pub",
                          fs::copy_options::overwrite_existing);
        expectNothingChanged(update(), c.message);
        EXPECT_EQ(pinned, readFileBytes(game / "nuvraupdater.pub"));
    }
}

// The new key counts from the sequence that the old key's statement names: an older publication
// of the new key (one it signed before it took over) is refused by a folder that just followed.
TEST_F(SigningTest, RotationStartsTheNewKeyAtTheStatedSequence) {
    const fs::path next = temp.path() / "next";
    ASSERT_EQ(0, publish({"keygen", next.string(), "--unencrypted"}).status);
    for (int more = 0; more < 2; ++more)
        ASSERT_EQ(
            0, publish({"sign", dir.string(), "--secret-key", (keys / "nuvrapublish.key").string()})
                   .status);
    // Options come in any order, --expires first too.
    ProcessResult rotated =
        publish({"rotate-key", "--expires", "7", "--old", (keys / "nuvrapublish.key").string(),
                 "--new", (next / "nuvrapublish.key").string(), dir.string()});
    ASSERT_EQ(0, rotated.status) << rotated.err;
    signAll("seq:2", next);
    ProcessResult result = update();
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(
        "Nuvra Updater error: Refusing an older server manifest: nuvraconfigremote.json is "
        "signed with sequence 2, and this game folder already accepted sequence 3\n",
        result.err);
    EXPECT_EQ(R"([{"keyId":")" + keyIdOf(next / "nuvraupdater.pub") + R"(","sequence":3}])",
              readFileBytes(game / "nuvrasequence.json"));
    EXPECT_FALSE(fs::exists(game / "data"));
}
