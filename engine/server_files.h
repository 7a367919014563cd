#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/records.h"

struct UpdateRun;

// Finds, reads and rewrites "nuvraconfig.json" in `rootDir` with the updater's version.
// Raises "Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?" and the
// reader's and writer's errors; a file that fails to parse is not rewritten.
UpdaterConfig loadLocalConfig(const std::filesystem::path& rootDir);

// pinnedKeyFrom with the key this build was given (the NUVRA_PUBLIC_KEY CMake option).
std::optional<PublicKey> loadPinnedKey(const std::filesystem::path& rootDir);

// True when this build was given its key (NUVRA_PUBLIC_KEY): a rotation cannot replace it.
bool pinnedKeyIsBuiltIn();

// With a pinned key, follows a key rotation that the server publishes ("nuvrakey.pub", a public
// key file, with its ".minisig"); a server without one (404 or 410, or a mirror folder without
// it) changes nothing. When the pinned key signed the new key, it writes the new key over
// "nuvraupdater.pub" (atomically, replacing a link rather than writing through it), records the
// statement's sequence as the new key's accepted one, and pins the new key in the run. A
// statement naming the pinned key itself changes nothing. Raises, changing nothing, "Refusing
// the key rotation on the server: the new key <id> is signed by key <id>, not by this game
// folder's key <id>", the signature check's errors, "Invalid key rotation on the server: ...",
// "The server moved to a new key (<id>), and this updater's key is built in; ...", and the fetch
// and writer errors.
void followKeyRotation(UpdateRun& run);

// Fetches "nuvraconfigremote.json" into the root folder (it stays there) and raises "Nuvra
// Updater needs an update! Grab the latest and try again." when updaterIsBehind(config's version,
// the server's). Fetch and reader errors propagate.
void checkUpdaterVersion(UpdateRun& run);

// Fetches the server file `name` (the base URL followed by `name`) into the root folder, a
// download asking for a compressed transfer (BodyEncoding::compressed) and refused past 64 MiB
// ("Refusing <name>: larger than 67108864 bytes"). With a pinned key it also fetches
// "<name>.minisig" beside it and, before anything reads the file, verifies it (verifySignature)
// and raises "The server's signed files expired on <day>; ..." a day after the expiry in its
// trusted comment, "The server's signed files are from different publications: ..." when its
// sequence differs from that of a server file verified before in this run, and "Refusing an
// older server manifest: ..." when its sequence is below the one this game folder accepted last;
// the run keeps the sequence in `signedSequence`. Fetch and reader errors propagate.
void fetchServerFile(UpdateRun& run, const std::string& name);

// Fetches "nuvramodremote1.json", then reads it, "nuvrafile.json" (already fetched) and, when it
// exists, "nuvramodlocal.json" into the run (the server's promises into remotePromises). A list is
// replaced only once its file read whole.
// With a pinned key the manifest is verified first (fetchServerFile), an entry without sha256
// raises "Missing sha256 for modpak <n>: <name> (signed server files must give one)", one
// without a size "Missing size for modpak <n>: <name> (...)", and only
// when everything passed is the run's sequence number recorded (recordAcceptedSequence).
void loadManifests(UpdateRun& run);

// Removes "nuvrafile.json", "nuvramodremote1.json", "nuvraconfigremote.json" and "nuvrakey.pub"
// from the root folder, with a pinned key their ".minisig" files too, ignoring every failure.
void removeRemoteFiles(UpdateRun& run);
