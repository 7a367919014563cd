#include "engine/update_run.h"

#include <gtest/gtest.h>

#include "engine/server_files.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

TEST(UpdateRun, StartsEmpty) {
    UpdateRun run(LaunchOptions{"/game", std::nullopt, true});
    EXPECT_EQ(fs::path("/game"), run.rootDir);
    EXPECT_TRUE(run.localModpaks.empty());
    EXPECT_TRUE(run.remoteModpaks.empty());
    EXPECT_TRUE(run.fileEntries.empty());
    EXPECT_EQ(nullptr, run.window);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ("", run.config.os);
    EXPECT_EQ("", run.config.url);
    EXPECT_EQ(0.0, run.config.nuvraVersion);
}

TEST(RemoveRemoteFiles, GoesOnPastAFileItCannotRemove) {
    TempDir temp;
    UpdateRun run(LaunchOptions{temp.path(), std::nullopt, true});
    // A non-empty folder in the first name's place cannot be removed as a file.
    writeFileBytes(temp.path() / "nuvrafile.json" / "inner", "x");
    writeFileBytes(temp.path() / "nuvramodremote1.json", "[]");
    writeFileBytes(temp.path() / "nuvraconfigremote.json", "{}");
    writeFileBytes(temp.path() / "nuvramodlocal.json", "[]");
    removeRemoteFiles(run);
    EXPECT_TRUE(fs::exists(temp.path() / "nuvrafile.json" / "inner"));
    EXPECT_FALSE(fs::exists(temp.path() / "nuvramodremote1.json"));
    EXPECT_FALSE(fs::exists(temp.path() / "nuvraconfigremote.json"));
    EXPECT_TRUE(fs::exists(temp.path() / "nuvramodlocal.json"));
    removeRemoteFiles(run);  // nothing left to remove: still no error
}
