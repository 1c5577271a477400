// The line a run that succeeded logs with -l: which of the three forms, the
// refused messages, and singular words for a count of 1.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/run_report.h"

TEST(RunOutcome, ChoosesAndWordsTheLine)
{
    const struct {
        RunTotals totals;
        const char* line;
    } table[] = {
        // pickups answered 250, messages accepted and refused at their end, their bytes, counts known
        {{3, 6, 0, 123456789012LL, true},
         "Picked up 6 messages (123456789012 bytes) from odmr.example.net in 3 pickups"},
        {{1, 1, 0, 512, true}, "Picked up 1 message (512 bytes) from odmr.example.net in 1 pickup"},
        {{2, 1, 1, 9, true},
         "Picked up 1 message (9 bytes) from odmr.example.net in 2 pickups; 1 refused by the SMTP server"},
        {{1, 2, 3, 9, true},
         "Picked up 2 messages (9 bytes) from odmr.example.net in 1 pickup; 3 refused by the SMTP server"},
        {{0, 0, 0, 0, false}, "No mail waiting at odmr.example.net"}, // every pickup got 453
        {{2, 0, 0, 0, true}, "Picked up 0 messages (0 bytes) from odmr.example.net in 2 pickups"}, // 250, nothing sent
        {{1, 0, 2, 0, true},
         "Picked up 0 messages (0 bytes) from odmr.example.net in 1 pickup; 2 refused by the SMTP server"},
        {{2, 5, 1, 100, false}, "Picked up mail from odmr.example.net: count unknown"},
    };
    for (const auto& row : table) {
        char buffer[128];
        const int length = format_run_outcome(row.totals, "odmr.example.net", buffer, sizeof buffer);
        EXPECT_STREQ(buffer, row.line);
        EXPECT_EQ(length, static_cast<int>(std::strlen(row.line)));
    }
    // Cut short, it still says how long the whole line is.
    char small[40];
    EXPECT_EQ(format_run_outcome(table[3].totals, "odmr.example.net", small, sizeof small),
              static_cast<int>(std::strlen(table[3].line)));
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
}
