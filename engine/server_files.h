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

// Removes "nuvrafile.json", "nuvramodremote1.json" and "nuvraconfigremote.json" from the root
// folder, with a pinned key their ".minisig" files too, ignoring every failure.
void removeRemoteFiles(UpdateRun& run);
