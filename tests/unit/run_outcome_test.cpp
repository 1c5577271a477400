// The line a run that succeeded logs with -l: which of the three forms, and
// singular words for a count of 1.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/run_report.h"

namespace {

struct OutcomeCase {
    const char* name;
    RunTotals totals;
    const char* line;
};

void PrintTo(const OutcomeCase& c, std::ostream* os)
{
    *os << c.name;
}

class RunOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(RunOutcome, ChoosesAndWordsTheLine)
{
    const OutcomeCase& c = GetParam();
    char buffer[128];
    const int length = format_run_outcome(c.totals, "odmr.example.net", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, c.line);
    EXPECT_EQ(length, static_cast<int>(std::strlen(c.line)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunOutcome,
    ::testing::Values(
        OutcomeCase{"many", {3, 7, 6, 123456789012LL, true},
                    "Picked up 6 messages (123456789012 bytes) from odmr.example.net in 3 pickups"},
        OutcomeCase{"one_each", {1, 1, 1, 512, true}, "Picked up 1 message (512 bytes) from odmr.example.net in 1 pickup"},
        OutcomeCase{"one_message", {2, 2, 1, 9, true}, "Picked up 1 message (9 bytes) from odmr.example.net in 2 pickups"},
        OutcomeCase{"one_pickup", {1, 2, 2, 9, true}, "Picked up 2 messages (9 bytes) from odmr.example.net in 1 pickup"},
        OutcomeCase{"none_accepted", {1, 2, 0, 9, true}, "Picked up 0 messages (9 bytes) from odmr.example.net in 1 pickup"},
        OutcomeCase{"only_453", {0, 0, 0, 0, false}, "No mail waiting at odmr.example.net"},
        OutcomeCase{"250_but_nothing_sent", {2, 0, 0, 0, true}, "No mail waiting at odmr.example.net"},
        OutcomeCase{"not_followed", {2, 5, 5, 100, false}, "Picked up mail from odmr.example.net: count unknown"}));

TEST(RunOutcome, CutToTheBufferButCountedWhole)
{
    const std::string server(200, 's');
    char buffer[32];
    const int length = format_run_outcome({0, 0, 0, 0, true}, server.c_str(), buffer, sizeof buffer);
    EXPECT_EQ(length, static_cast<int>(std::strlen("No mail waiting at ") + server.size()));
    EXPECT_EQ(std::string(buffer), ("No mail waiting at " + server).substr(0, sizeof buffer - 1));
}

} // namespace
