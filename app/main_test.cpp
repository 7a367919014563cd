#include <gtest/gtest.h>

#include <filesystem>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

TEST(Main, HelpPrintsUsageAndTouchesNothing) {
    TempDir temp;
    ProcessResult result = runProcess(updaterExecutable(), {"--headless", "--help", "--bogus"},
                                      temp.path());
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Usage: nuvraupdater_cpp [--root PATH] [--source-dir PATH] [--headless] [--verify | --repair]\n",
              result.out);
    EXPECT_EQ("", result.err);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(Main, StartupFailureWritesOneLineToStandardError) {
    TempDir temp;
    ProcessResult result = runProcess(updaterExecutable(), {"--bogus", "--help"}, temp.path());
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("Unknown option: --bogus\n", result.err);

    result = runProcess(updaterExecutable(), {"--headless", "--root"}, temp.path());
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("--root requires a path\n", result.err);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(Main, WorkingDirectoryThatIsGoneFailsAtStartup) {
    TempDir temp;
    fs::path gone = temp.path() / "gone";
    fs::create_directory(gone);
    // The child enters the folder, which is then removed before the updater reads it: run through
    // a shell that removes its own working directory first.
    ProcessResult result = runProcess("/bin/sh", {"-c", "rmdir \"$PWD\" && exec \"$0\" --headless",
                                                  updaterExecutable().string()},
                                      gone);
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("current_path(): No such file or directory\n", result.err);
}
