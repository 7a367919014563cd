#include "engine/byte_progress.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ByteProgressText, SaysHowMuchHowFastAndHowLongIsLeft) {
    struct Case {
        std::uint64_t received, total;
        double speed;
        std::string text;
    };
    const std::vector<Case> cases = {
        {412000000, 825000000, 38000000, "Fetching modpak 2: 412 of 825 MB, 38 MB/s, 0:11 left"},
        {412000000, 825000000, 0, "Fetching modpak 2: 412 of 825 MB"},
        {412000000, 0, 38000000, "Fetching modpak 2: 412 MB, 38 MB/s"},
        {300000, 900000, 20000, "Fetching modpak 2: 300 of 900 kB, 20 kB/s, 0:30 left"},
        {1200000000, 2400000000, 2000000, "Fetching modpak 2: 1.2 of 2.4 GB, 2 MB/s, 10:00 left"},
        {0, 7200000000, 1000000, "Fetching modpak 2: 0.0 of 7.2 GB, 1 MB/s, 2:00:00 left"},
        {825000000, 825000000, 38000000, "Fetching modpak 2: 825 of 825 MB, 38 MB/s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, byteProgressText("Fetching modpak 2", c.received, c.total, c.speed));
}
