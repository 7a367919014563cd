// Signatures made by the real minisign tool, checked by the updater's verifier.
#include "manifest/signature.h"

#include <gtest/gtest.h>

#include "manifest/signed_files.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct SignatureTest : ::testing::Test {
    TempDir temp;
    fs::path file = temp.path() / "nuvrafile.json";
    const std::string content = R"([{"modPakNum":1,"name":"a","isDirectory":false}])";

    SignatureTest() { writeFileBytes(file, content); }

    // A fresh unencrypted key pair made by minisign, its public key read back.
    PublicKey makeKey(const std::string& name) {
        const fs::path pub = temp.path() / (name + ".pub");
        ProcessResult made = runProcess(MINISIGN_EXE, {"-G", "-W", "-p", pub.string(), "-s",
                                                       (temp.path() / (name + ".key")).string()});
        EXPECT_EQ(0, made.status) << made.err;
        return readPublicKeyFile(pub);
    }

    std::string sign(const std::string& keyName, std::vector<std::string> options) {
        const fs::path signature = temp.path() / "signature";
        std::vector<std::string> args = {"-S",
                                         "-s",
                                         (temp.path() / (keyName + ".key")).string(),
                                         "-m",
                                         file.string(),
                                         "-x",
                                         signature.string()};
        args.insert(args.end(), options.begin(), options.end());
        ProcessResult signedFile = runProcess(MINISIGN_EXE, args);
        EXPECT_EQ(0, signedFile.status) << signedFile.err;
        return readFileBytes(signature);
    }
};

}  // namespace

TEST_F(SignatureTest, MinisignSignaturesVerify) {
    const PublicKey key = makeKey("a");
    struct Case {
        std::vector<std::string> options;
        std::uint64_t sequence;
    } cases[] = {
        {{}, 0},      // prehashed, minisign's comment
        {{"-l"}, 0},  // legacy, over the file itself
        {{"-l", "-t", "seq:18446744073709551615"}, 18446744073709551615u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.sequence, verifySignature(content, sign("a", c.options), key, "nuvrafile.json"))
            << ::testing::PrintToString(c.options);
}

TEST_F(SignatureTest, RefusesWhatItCannotTrust) {
    const PublicKey key = makeKey("a");
    const PublicKey other = makeKey("b");
    const std::string good = sign("a", {});
    std::string editedComment = good;
    editedComment.replace(editedComment.find("\ntrusted comment: ") + 18, 0, "seq:9\t");
    const std::string prefix = "Signature check failed for nuvrafile.json: ";
    struct Case {
        std::string content, signature;
        std::string expected;
    } cases[] = {
        {content + " ", good, "the signature does not match the file"},
        {content, sign("b", {}),
         "signed by another key (key id " + keyIdText(other.keyId) + ", expected " +
             keyIdText(key.keyId) + ")"},
        {content, editedComment, "the signature of the trusted comment does not match"},
        {content, "untrusted comment: x\nnot base64\n", "not a minisign signature file"},
        {content, "", "not a minisign signature file"},
        {content, sign("a", {"-t", "seq:-1"}),
         "invalid sequence number in the trusted comment: seq:-1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prefix + c.expected, thrownMessage([&] {
                      verifySignature(c.content, c.signature, key, "nuvrafile.json");
                  }));
    }
    std::string legacyChanged = content;
    legacyChanged[2] = 'x';
    EXPECT_EQ(prefix + "the signature does not match the file", thrownMessage([&] {
                  verifySignature(legacyChanged, sign("a", {"-l"}), key, "nuvrafile.json");
              }));
}

// The "file:" word is all that tells one server file's signature from another's, whether the
// words are separated by tabs (as nuvrapublish writes them) or by blanks; "seq:" is read either
// way too.
TEST_F(SignatureTest, SignatureIsBoundToTheFileItNames) {
    const PublicKey key = makeKey("a");
    const std::string names[] = {"nuvraconfigremote.json", "nuvramodremote1.json",
                                 "nuvrafile.json"};
    for (const std::string separator : {"\t", " "}) {
        for (const std::string& signedAs : names) {
            const std::string signature = sign(
                "a", {"-t", "timestamp:1" + separator + "file:" + signedAs + separator + "seq:3"});
            for (const std::string& servedAs : names) {
                SCOPED_TRACE(::testing::PrintToString(separator) + " " + signedAs + " as " +
                             servedAs);
                if (servedAs == signedAs)
                    EXPECT_EQ(3u, verifySignature(content, signature, key, servedAs));
                else
                    EXPECT_EQ(
                        "Signature check failed for " + servedAs + ": signed as " + signedAs,
                        thrownMessage([&] { verifySignature(content, signature, key, servedAs); }));
            }
        }
    }
}

TEST_F(SignatureTest, PinnedKeyBuiltInFirstThenTheGameFolders) {
    const PublicKey fileKey = makeKey("a");
    const PublicKey builtIn = makeKey("b");
    const std::string builtInLine = [&] {
        const std::string text = readFileBytes(temp.path() / "b.pub");
        return text.substr(text.find('\n') + 1, 56);
    }();
    const fs::path game = temp.path() / "game";
    fs::create_directories(game);
    EXPECT_FALSE(pinnedKeyFrom(game, "").has_value());
    fs::copy_file(temp.path() / "a.pub", game / "nuvraupdater.pub");
    EXPECT_EQ(fileKey.key, pinnedKeyFrom(game, "")->key);
    EXPECT_EQ(builtIn.key, pinnedKeyFrom(game, builtInLine)->key);
    EXPECT_EQ("Invalid built-in public key", thrownMessage([&] { pinnedKeyFrom(game, "RWQ"); }));
    writeFileBytes(game / "nuvraupdater.pub", "untrusted comment: x\nRWQ2q72w\n");
    EXPECT_EQ("Invalid public key file: " + (game / "nuvraupdater.pub").string(),
              thrownMessage([&] { pinnedKeyFrom(game, ""); }));
}
