// nuvrapublish: prepares and checks a server folder for the Nuvra updater.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "manifest/json_writer.h"
#include "manifest/signature.h"
#include "platform/paths.h"
#include "publish/keys.h"
#include "publish/password.h"
#include "publish/publish.h"

namespace {

const char* const usage =
    "Usage: nuvrapublish init DIR --url URL\n"
    "       nuvrapublish add DIR FILE [--retire PATH]... [--retire-dir PATH]... [--secret-key "
    "KEY] [--expires DAYS]\n"
    "       nuvrapublish check DIR\n"
    "       nuvrapublish rehash DIR [--secret-key KEY] [--expires DAYS]\n"
    "       nuvrapublish keygen KEYDIR [--unencrypted]\n"
    "       nuvrapublish sign DIR [--secret-key KEY] [--expires DAYS]\n"
    "       nuvrapublish rotate-key --old KEY --new KEY DIR [--expires DAYS]\n"
    "The secret key may also be named by NUVRA_SECRET_KEY, and its password given by\n"
    "NUVRA_KEY_PASSWORD; otherwise the password is asked for. Signatures expire after\n"
    "--expires days (30 unless given; \"never\" for signatures that never expire).\n";

constexpr int usageStatus = 2;

void printModpak(const char* verb, const RemoteModpak& modpak) {
    std::printf("%s modpak %d: %s (%llu bytes, sha256 %s)\n", verb, modpak.entry.modPakNum,
                modpak.entry.name.c_str(),
                static_cast<unsigned long long>(modpak.promise.size.value_or(0)),
                modpak.promise.sha256.c_str());
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string password(const std::string& prompt) {
    if (std::optional<std::string> given = environment("NUVRA_KEY_PASSWORD")) return *given;
    return readPassword(prompt);
}

SecretKey secretKeyFrom(const std::string& file) {
    const auto path = pathFromText(file);
    std::string given;
    if (secretKeyIsEncrypted(path)) given = password("Password for " + file + ": ");
    return readSecretKeyFile(path, given);
}

// The secret key named by --secret-key (taken out of `args`) or NUVRA_SECRET_KEY, read before
// the folder is changed so that a wrong password changes nothing. Without one, a signed folder
// is refused: its signatures would no longer match what the command writes.
std::optional<SecretKey> signingKey(std::vector<std::string>& args, const std::string& command,
                                    bool required) {
    std::optional<std::string> file = environment("NUVRA_SECRET_KEY");
    for (std::size_t i = 2; i + 1 < args.size(); ++i)
        if (args[i] == "--secret-key") {
            file = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i + 2));
            break;
        }
    if (!file) {
        if (required || serverIsSigned(pathFromText(args[1])))
            throw std::runtime_error("No secret key to sign " + args[1] + " with after " + command +
                                     ": give --secret-key KEY or set NUVRA_SECRET_KEY");
        return std::nullopt;
    }
    return secretKeyFrom(*file);
}

// How long signatures made now stay valid, in seconds (0: for ever), from --expires (taken out
// of `args`): 30 days unless given. Raises for anything but a number of days or "never".
std::uint64_t signatureLifetime(std::vector<std::string>& args, std::size_t firstOption = 2) {
    std::uint64_t days = 30;
    for (std::size_t i = firstOption; i + 1 < args.size(); ++i)
        if (args[i] == "--expires") {
            const std::string& value = args[i + 1];
            if (value == "never") {
                days = 0;
            } else {
                const char* end = value.data() + value.size();
                auto [stop, error] = std::from_chars(value.data(), end, days);
                if (value.empty() || error != std::errc() || stop != end || days == 0 ||
                    days > 36500)
                    throw std::runtime_error("Invalid --expires " + value +
                                             ": a number of days from 1 to 36500, or never");
            }
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i + 2));
            break;
        }
    return days * 24 * 60 * 60;
}

void sign(const std::string& dir, const std::optional<SecretKey>& key, std::uint64_t lifetime) {
    if (!key) return;
    const std::uint64_t sequence = signServer(pathFromText(dir), *key, lifetime);
    std::printf("Signed the server files with sequence %llu (key %s)\n",
                static_cast<unsigned long long>(sequence), keyIdText(key->keyId).c_str());
}

// rotate-key --old KEY --new KEY DIR, options in any order; both keys are read (and their
// passwords asked for) before the folder changes.
int rotate(std::vector<std::string> args) {
    const std::uint64_t lifetime = signatureLifetime(args, 1);
    std::optional<std::string> oldFile, newFile, dir;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if ((args[i] == "--old" || args[i] == "--new") && i + 1 < args.size()) {
            (args[i] == "--old" ? oldFile : newFile) = args[i + 1];
            ++i;
        } else if (!dir && args[i].rfind("--", 0) != 0) {
            dir = args[i];
        } else {
            dir.reset();
            break;
        }
    }
    if (!oldFile || !newFile || !dir) {
        std::fputs(usage, stderr);
        return usageStatus;
    }
    const SecretKey oldKey = secretKeyFrom(*oldFile);
    const SecretKey newKey = secretKeyFrom(*newFile);
    const std::uint64_t sequence = rotateKey(pathFromText(*dir), oldKey, newKey, lifetime);
    std::printf(
        "Published the new key %s, signed by the old key %s, and signed the server files with "
        "sequence %llu (key %s)\n",
        keyIdText(newKey.keyId).c_str(), keyIdText(oldKey.keyId).c_str(),
        static_cast<unsigned long long>(sequence), keyIdText(newKey.keyId).c_str());
    return 0;
}

int run(std::vector<std::string> args) {
    if (!args.empty() && args[0] == "rotate-key") return rotate(std::move(args));
    if (args.size() < 2) {
        std::fputs(usage, stderr);
        return usageStatus;
    }
    const std::string& command = args[0];
    const auto dir = pathFromText(args[1]);
    if (command == "init" && args.size() == 4 && args[2] == "--url") {
        initServer(dir, args[3]);
        std::printf("Initialized the server folder %s\n", args[1].c_str());
        std::printf(
            "Players' nuvraconfig.json: {\"nuvraVersion\":6,\"url\":\"%s\",\"os\":\"any\"}\n",
            escapeJsonString(args[3]).c_str());
        return 0;
    }
    if (command == "keygen" &&
        (args.size() == 2 || (args.size() == 3 && args[2] == "--unencrypted"))) {
        std::optional<std::string> secret;
        if (args.size() == 2) {
            secret = password("Password for the new secret key: ");
            if (!environment("NUVRA_KEY_PASSWORD") &&
                readPassword("The same password again: ") != *secret)
                throw std::runtime_error("The passwords differ; no key was written");
            if (secret->empty())
                throw std::runtime_error(
                    "An empty password; use --unencrypted for a key without one");
        }
        const PublicKey key = generateKeyPair(dir, secret);
        std::printf("Wrote the secret key %s and the public key %s (key %s)\n",
                    textFromPath(dir / "nuvrapublish.key").c_str(),
                    textFromPath(dir / "nuvraupdater.pub").c_str(), keyIdText(key.keyId).c_str());
        return 0;
    }
    if (command == "sign") {
        const std::uint64_t lifetime = signatureLifetime(args);
        const std::optional<SecretKey> key = signingKey(args, command, true);
        if (args.size() != 2) {
            std::fputs(usage, stderr);
            return usageStatus;
        }
        sign(args[1], key, lifetime);
        return 0;
    }
    std::optional<SecretKey> key;
    std::uint64_t lifetime = 0;
    if (command == "add" || command == "rehash") {
        lifetime = signatureLifetime(args);
        key = signingKey(args, command, false);
    }
    if (command == "add" && args.size() >= 3 && args.size() % 2 == 1) {
        std::vector<FileEntry> retired;
        for (std::size_t i = 3; i < args.size(); i += 2) {
            if (args[i] != "--retire" && args[i] != "--retire-dir") {
                std::fputs(usage, stderr);
                return usageStatus;
            }
            retired.push_back(FileEntry{0, args[i + 1], args[i] == "--retire-dir"});
        }
        const RemoteModpak added = addModpak(dir, pathFromText(args[2]), retired);
        printModpak("Added", added);
        for (const FileEntry& entry : retired)
            std::printf("  retires the %s %s\n", entry.isDirectory ? "folder" : "file",
                        entry.name.c_str());
        for (const std::string& clash : caseClashes(dir, added.entry.modPakNum))
            std::printf("%s\n", clash.c_str());
        sign(args[1], key, lifetime);
        return 0;
    }
    if (command == "check" && args.size() == 2) {
        const std::vector<std::string> problems = checkServer(dir);
        for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
        if (problems.empty()) {
            std::printf("No problems found\n");
            return 0;
        }
        std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
        return 1;
    }
    if (command == "rehash" && args.size() == 2) {
        const std::vector<RemoteModpak> changed = rehashServer(dir);
        for (const RemoteModpak& modpak : changed) printModpak("Rehashed", modpak);
        if (changed.empty())
            std::printf("Every recorded size and sha256 is current\n");
        else
            sign(args[1], key, lifetime);
        return 0;
    }
    std::fputs(usage, stderr);
    return usageStatus;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(usage, stdout);
        return 0;
    }
    try {
        return run(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nuvrapublish: %s\n", error.what());
        return 1;
    }
}
