#include <gtest/gtest.h>

#include <vector>

#include "download/progress.h"

namespace korvath::download {
namespace {

struct ProgressCase {
    const char* name;
    ProgressState before;
    ProgressUpdate update;
    ProgressState after;
    // Names the case in test listings instead of dumping its bytes.
    friend void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }
};

class Progress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(Progress, ClampsAgainstMaxOnly) {
    ProgressModel model;
    ASSERT_TRUE(model.apply({.value = static_cast<int>(GetParam().before.value),
                             .min = static_cast<int>(GetParam().before.min),
                             .max = static_cast<int>(GetParam().before.max)}));
    const platform::Result<ProgressState> applied = model.apply(GetParam().update);
    ASSERT_TRUE(applied);
    const ProgressState& s = *applied;
    EXPECT_EQ(s.min, GetParam().after.min);
    EXPECT_EQ(s.max, GetParam().after.max);
    EXPECT_EQ(s.value, GetParam().after.value);
}

INSTANTIATE_TEST_SUITE_P(
    All, Progress,
    ::testing::Values(
        ProgressCase{"NoArgumentsChangeNothing", {0, 10, 4}, {}, {0, 10, 4}},
        ProgressCase{"StepAtMaxStays", {0, 10, 10}, {.step = 1}, {0, 10, 10}},
        ProgressCase{"StepReachesMax", {0, 10, 9}, {.step = 1}, {0, 10, 10}},
        ProgressCase{"ValueAboveNewMax", {0, 20, 0}, {.value = 12, .max = 10}, {0, 10, 10}},
        ProgressCase{"ValueThenStep", {0, 10, 0}, {.value = 3, .step = 2}, {0, 10, 5}},
        ProgressCase{
            "NewMaxBeforeValue", {0, 8200, 8200}, {.value = 0, .min = 0, .max = 8}, {0, 8, 0}},
        ProgressCase{"NegativeStepIgnoresMin", {0, 10, 1}, {.step = -3}, {0, 10, -2}},
        ProgressCase{"ValueBelowMin", {5, 10, 7}, {.value = 2}, {5, 10, 2}},
        ProgressCase{"ZeroRange",
                     {0, 10, 3},
                     {
                         .value = 0,
                         .min = 0,
                         .max = 0,
                     },
                     {0, 0, 0}},
        ProgressCase{"StepOnZeroRange", {0, 0, 0}, {.step = 1}, {0, 0, 0}},
        ProgressCase{"SixteenBitEnds",
                     {0, 10, 0},
                     {.value = 32767, .min = -32768, .max = 32767},
                     {-32768, 32767, 32767}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressLimits, ArgumentsBeyondSixteenBitsOverflowAndChangeNothing) {
    const std::vector<ProgressUpdate> refused = {
        {.max = 32768}, {.min = -32769}, {.value = 40000}, {.value = 1, .step = 32768}};
    for (const ProgressUpdate& update : refused) {
        ProgressModel model;
        ASSERT_TRUE(model.apply({.value = 4, .min = 0, .max = 10}));
        const platform::Result<ProgressState> refusedUpdate = model.apply(update);
        ASSERT_FALSE(refusedUpdate);
        EXPECT_EQ(refusedUpdate.fault().number, platform::ErrorNumber::Overflow);
        EXPECT_EQ(model.state().value, 4);
        EXPECT_EQ(model.state().max, 10);
    }
}

}  // namespace
}  // namespace korvath::download
