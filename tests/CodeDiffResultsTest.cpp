// CCodeDiffResults: the five verdicts of one check.
#include <gtest/gtest.h>

#include "gateway/CCodeDiffResults.h"

namespace {

TEST(CodeDiffResultsTest, TextNamesEachVerdictInFieldOrder) {
    CCodeDiffResults results;
    EXPECT_EQ(results.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
    results.m_eLC = DIFF_OLDER;
    results.m_ePROM = DIFF_NEWER;
    results.m_eBS = DIFF_FORCED;
    results.m_eMAC = DIFF_NEWER;
    EXPECT_EQ(results.ToString(), "LC:Older, PROM:Newer, BS:Forced, CPLD:Same, MAC:Newer,");
    results.m_eLC = static_cast<DIFFTYPE>(7);  // outside the enumeration: no word
    results.m_eCPLD = DIFF_FORCED;
    results.m_eMAC = static_cast<DIFFTYPE>(-1);
    EXPECT_EQ(results.ToString(), "LC:, PROM:Newer, BS:Forced, CPLD:Forced, MAC:,");
}

TEST(CodeDiffResultsTest, AnyVerdictButSameInAnyFieldIsADifference) {
    EXPECT_FALSE(CCodeDiffResults{}.DifferencesFound());
    DIFFTYPE CCodeDiffResults::*const fields[] = {
        &CCodeDiffResults::m_eLC, &CCodeDiffResults::m_ePROM, &CCodeDiffResults::m_eBS,
        &CCodeDiffResults::m_eCPLD, &CCodeDiffResults::m_eMAC};
    for (DIFFTYPE CCodeDiffResults::*field : fields) {
        for (const DIFFTYPE verdict :
             {DIFF_NEWER, DIFF_OLDER, DIFF_FORCED, static_cast<DIFFTYPE>(7)}) {
            CCodeDiffResults results;
            results.*field = verdict;
            EXPECT_TRUE(results.DifferencesFound()) << results.ToString();
        }
    }
}

}  // namespace
