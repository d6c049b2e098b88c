// CCodeDiffResults: the five verdicts of one check.
#include <gtest/gtest.h>

#include "gateway/CCodeDiffResults.h"

namespace {

TEST(CodeDiffResultsTest, DefaultIsAllSame) {
    const CCodeDiffResults results;
    EXPECT_EQ(results.m_eLC, DIFF_SAME);
    EXPECT_EQ(results.m_ePROM, DIFF_SAME);
    EXPECT_EQ(results.m_eBS, DIFF_SAME);
    EXPECT_EQ(results.m_eCPLD, DIFF_SAME);
    EXPECT_EQ(results.m_eMAC, DIFF_SAME);
    EXPECT_FALSE(results.DifferencesFound());
    EXPECT_EQ(results.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
}

TEST(CodeDiffResultsTest, AnySingleFieldCountsAsDifference) {
    DIFFTYPE CCodeDiffResults::*const fields[] = {
        &CCodeDiffResults::m_eLC, &CCodeDiffResults::m_ePROM, &CCodeDiffResults::m_eBS,
        &CCodeDiffResults::m_eCPLD, &CCodeDiffResults::m_eMAC};
    for (DIFFTYPE CCodeDiffResults::*field : fields) {
        for (const DIFFTYPE verdict : {DIFF_NEWER, DIFF_OLDER, DIFF_FORCED}) {
            CCodeDiffResults results;
            results.*field = verdict;
            EXPECT_TRUE(results.DifferencesFound()) << results.ToString();
        }
    }
}

TEST(CodeDiffResultsTest, OnlyMacOrOnlyCpldDiffering) {
    CCodeDiffResults mac;
    mac.m_eMAC = DIFF_OLDER;
    EXPECT_TRUE(mac.DifferencesFound());
    EXPECT_EQ(mac.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older,");

    CCodeDiffResults cpld;
    cpld.m_eCPLD = DIFF_NEWER;
    EXPECT_TRUE(cpld.DifferencesFound());
    EXPECT_EQ(cpld.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Newer, MAC:Same,");
}

TEST(CodeDiffResultsTest, WordsFollowFieldOrder) {
    CCodeDiffResults results;
    results.m_eBS = DIFF_FORCED;
    EXPECT_EQ(results.ToString(), "LC:Same, PROM:Same, BS:Forced, CPLD:Same, MAC:Same,");

    results.m_eLC = DIFF_OLDER;
    results.m_ePROM = DIFF_NEWER;
    results.m_eCPLD = DIFF_FORCED;
    results.m_eMAC = DIFF_SAME;
    EXPECT_EQ(results.ToString(), "LC:Older, PROM:Newer, BS:Forced, CPLD:Forced, MAC:Same,");
}

TEST(CodeDiffResultsTest, OutOfRangeValuePrintsEmptyWordAndCounts) {
    CCodeDiffResults results;
    results.m_eLC = static_cast<DIFFTYPE>(7);
    EXPECT_EQ(results.ToString(), "LC:, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
    EXPECT_TRUE(results.DifferencesFound());

    CCodeDiffResults negative;
    negative.m_eMAC = static_cast<DIFFTYPE>(-1);
    EXPECT_EQ(negative.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:,");
    EXPECT_TRUE(negative.DifferencesFound());
}

TEST(CodeDiffResultsTest, CopiesAreIndependent) {
    CCodeDiffResults source;
    source.m_ePROM = DIFF_OLDER;

    CCodeDiffResults copy(source);
    copy.m_ePROM = DIFF_SAME;
    copy.m_eLC = DIFF_FORCED;
    EXPECT_EQ(source.m_ePROM, DIFF_OLDER);
    EXPECT_EQ(source.m_eLC, DIFF_SAME);

    CCodeDiffResults assigned;
    assigned = source;
    EXPECT_EQ(assigned.ToString(), source.ToString());
    assigned.m_eMAC = DIFF_NEWER;
    EXPECT_EQ(source.m_eMAC, DIFF_SAME);
    EXPECT_EQ(source.ToString(), "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same,");
}

}  // namespace
