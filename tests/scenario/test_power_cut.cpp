// A power cut at the phase boundaries of every update (before the first erase, the
// erases' ends, the first, a middle and the last write, the last request) and at a
// fixed-seed sample of the other requests; then the technician follows the program.
// Every unit must end with the image byte for byte and start by itself. The whole
// sweep is tests/sweep/sweep_main.cpp.
#include <gtest/gtest.h>

#include "tests/sweep/power_cut.h"

namespace {

class PowerCutSubset : public ::testing::TestWithParam<sweep::Update> {};

TEST_P(PowerCutSubset, EveryPhaseBoundaryAndASampleIsBroughtBack) {
    std::vector<sweep::CutPoint> points = sweep::PhaseBoundaries(GetParam(), 2, 20);
    ASSERT_GE(points.size(), 5u) << "the clean run did not end with \"Updated\"";
    for (const sweep::CutPoint& p : points) {
        SCOPED_TRACE(p.Plan());
        sweep::Outcome o = sweep::RunCut(GetParam(), p);
        EXPECT_TRUE(o.cutTookEffect);
        EXPECT_TRUE(o.recovered) << o.note;
        EXPECT_LE(o.tries, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(AllUpdates, PowerCutSubset, ::testing::ValuesIn(sweep::AllUpdates()),
                         [](const ::testing::TestParamInfo<sweep::Update>& info) {
                             std::string name;
                             for (const char* c = sweep::NameOf(info.param); *c; c++)
                                 if (isalnum((unsigned char)*c)) name += *c;
                             return name;
                         });

// The calibration block is the one casualty, and only of the technical-service path:
// a cut before the user-mode update erases anything keeps it, a cut at the first erase
// leaves only that path and loses it.
TEST(PowerCut, CalibrationSurvivesUnlessOnlyTheTechnicalServicePathIsLeft) {
    sweep::Outcome before = sweep::RunCut(sweep::Update::RemoteUser, {"begin", 1, 0});
    EXPECT_TRUE(before.recovered) << before.note;
    EXPECT_TRUE(before.calibrationKept);
    sweep::Outcome erased = sweep::RunCut(sweep::Update::RemoteUser, {"erase", 1, 500});
    EXPECT_TRUE(erased.recovered) << erased.note;
    EXPECT_FALSE(erased.calibrationKept);
}

}  // namespace
