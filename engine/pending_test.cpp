#include "engine/pending.h"

#include <gtest/gtest.h>

namespace {

int pending(const std::vector<ModpakEntry>& remote, const std::vector<ModpakEntry>& local) {
    return countPendingModpaks(remote, local);
}

}  // namespace

TEST(Pending, IdentityIsNumberAndExactName) {
    EXPECT_TRUE(containsModpak({{1, "a.7z"}, {3, "a.7z"}}, {3, "a.7z"}));
    EXPECT_FALSE(containsModpak({}, {3, "a.7z"}));
    EXPECT_FALSE(containsModpak({{3, "a.7z"}}, {3, "A.7z"}));
    EXPECT_FALSE(containsModpak({{3, "a.7z "}}, {3, "a.7z"}));
    EXPECT_FALSE(containsModpak({{4, "a.7z"}}, {3, "a.7z"}));
    EXPECT_FALSE(containsModpak({{3, std::string("a\0b", 3)}}, {3, std::string("a\0c", 3)}));
}

TEST(Pending, CountsEveryMissingRemoteEntry) {
    EXPECT_EQ(0, pending({}, {{1, "a.7z"}}));
    EXPECT_EQ(2, pending({{1, "a.7z"}, {2, "b.7z"}}, {}));
    EXPECT_EQ(2, pending({{3, "a.7z"}, {3, "a.7z"}}, {}));  // a repetition counts twice
    EXPECT_EQ(1, pending({{2, "x.7z"}}, {{5, "y.7z"}}));     // numbers are never compared by size
    EXPECT_EQ(0, pending({{4, "x.7z"}}, {{4, "x.7z"}, {9, "z.7z"}}));
    EXPECT_EQ(1, pending({{3, "A.7z"}}, {{3, "a.7z"}}));
}
