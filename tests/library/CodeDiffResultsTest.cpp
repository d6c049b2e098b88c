// CCodeDiffResults: the five verdicts of one check.
#include <gtest/gtest.h>

#include <utility>

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

// Each code type's verdict is its own field, reached by code type too; any verdict but Same in
// any field is a difference; a value outside CODETYPE reaches no field.
TEST(CodeDiffResultsTest, EachCodeTypeHasItsOwnVerdict) {
    EXPECT_FALSE(CCodeDiffResults{}.DifferencesFound());
    const std::pair<CODETYPE, DIFFTYPE CCodeDiffResults::*> fields[] = {
        {LC_CODE, &CCodeDiffResults::m_eLC},
        {PROM_CODE, &CCodeDiffResults::m_ePROM},
        {BS_CODE, &CCodeDiffResults::m_eBS},
        {CPLD_CODE, &CCodeDiffResults::m_eCPLD},
        {MAC_CODE, &CCodeDiffResults::m_eMAC}};
    for (const auto& [codeType, field] : fields) {
        for (const DIFFTYPE verdict :
             {DIFF_NEWER, DIFF_OLDER, DIFF_FORCED, static_cast<DIFFTYPE>(7)}) {
            CCodeDiffResults results;
            results.SetDiff(codeType, verdict);
            EXPECT_EQ(results.*field, verdict) << codeType;
            EXPECT_EQ(results.GetDiff(codeType), verdict);
            EXPECT_TRUE(results.DifferencesFound()) << results.ToString();
        }
    }
    CCodeDiffResults results;
    results.SetDiff(static_cast<CODETYPE>(5), DIFF_OLDER);
    EXPECT_FALSE(results.DifferencesFound());
    results.m_eMAC = DIFF_OLDER;
    EXPECT_EQ(results.GetDiff(static_cast<CODETYPE>(5)), DIFF_SAME);
}

}  // namespace
