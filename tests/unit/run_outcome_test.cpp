// The line a run that succeeded logs with -l: which of the three forms, and
// singular words for a count of 1.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/run_report.h"

TEST(RunOutcome, ChoosesAndWordsTheLine)
{
    const struct {
        RunTotals totals;
        const char* line;
    } table[] = {
        {{3, 7, 6, 123456789012LL, true}, "Picked up 6 messages (123456789012 bytes) from odmr.example.net in 3 pickups"},
        {{1, 1, 1, 512, true}, "Picked up 1 message (512 bytes) from odmr.example.net in 1 pickup"},
        {{2, 2, 1, 9, true}, "Picked up 1 message (9 bytes) from odmr.example.net in 2 pickups"},
        {{1, 2, 2, 9, true}, "Picked up 2 messages (9 bytes) from odmr.example.net in 1 pickup"},
        {{0, 0, 0, 0, false}, "No mail waiting at odmr.example.net"}, // every pickup got 453
        {{2, 0, 0, 0, true}, "No mail waiting at odmr.example.net"},  // 250, then nothing sent
        {{2, 5, 5, 100, false}, "Picked up mail from odmr.example.net: count unknown"},
    };
    for (const auto& row : table) {
        char buffer[128];
        const int length = format_run_outcome(row.totals, "odmr.example.net", buffer, sizeof buffer);
        EXPECT_STREQ(buffer, row.line);
        EXPECT_EQ(length, static_cast<int>(std::strlen(row.line)));
    }
}
