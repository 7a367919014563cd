#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

CommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "nuvraupdater_cpp");
    return parseCommandLine(static_cast<int>(args.size()), args.data(), "/cwd");
}

}  // namespace

TEST(ParseCommandLine, NoArgumentsGiveWorkingDirectoryAndWindowMode) {
    CommandLine line = parse({});
    EXPECT_EQ(fs::path("/cwd"), line.options.root);
    EXPECT_FALSE(line.options.sourceDir);
    EXPECT_FALSE(line.options.headless);
    EXPECT_FALSE(line.helpRequested);
}

TEST(ParseCommandLine, LaterOccurrencesReplaceEarlierOnes) {
    CommandLine line = parse({"--source-dir", "/a", "first", "--root", "/r", "--source-dir", "/b",
                              "--headless", "second"});
    EXPECT_EQ(fs::path("second"), line.options.root);
    EXPECT_EQ(fs::path("/b"), *line.options.sourceDir);
    EXPECT_TRUE(line.options.headless);
}

TEST(ParseCommandLine, OptionValuesAreTakenVerbatim) {
    CommandLine line = parse({"--root", "--headless"});
    EXPECT_EQ(fs::path("--headless"), line.options.root);
    EXPECT_FALSE(line.options.headless);
    EXPECT_EQ(fs::path("-h"), parse({"-h"}).options.root);
    EXPECT_EQ(fs::path(""), parse({""}).options.root);
}

TEST(ParseCommandLine, HelpStopsParsingButEarlierErrorsWin) {
    EXPECT_TRUE(parse({"--headless", "--help", "--bogus"}).helpRequested);
    EXPECT_EQ("Unknown option: --bogus", thrownMessage([] { parse({"--bogus", "--help"}); }));
}

TEST(ParseCommandLine, RejectsUnknownAndMalformedOptions) {
    EXPECT_EQ("Unknown option: --ROOT", thrownMessage([] { parse({"--ROOT", "x"}); }));
    EXPECT_EQ("Unknown option: --root=x", thrownMessage([] { parse({"--root=x"}); }));
    EXPECT_EQ("Unknown option: --", thrownMessage([] { parse({"--"}); }));
    EXPECT_EQ("--root requires a path", thrownMessage([] { parse({"--headless", "--root"}); }));
    EXPECT_EQ("--source-dir requires a path", thrownMessage([] { parse({"--source-dir"}); }));
}
