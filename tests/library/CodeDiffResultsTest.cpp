// CCodeDiffResults: the five verdicts of one check.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "gateway/CCodeDiffResults.h"

namespace {

// Each code type's verdict is its own field, reached by code type too and named in the text in
// field order (a verdict outside the enumeration with no word); any verdict but Same in any field
// is a difference; a value outside CODETYPE reaches no field.
TEST(CodeDiffResultsTest, EachCodeTypeHasItsOwnVerdictAndWord) {
    const std::pair<CODETYPE, DIFFTYPE CCodeDiffResults::*> fields[] = {
        {LC_CODE, &CCodeDiffResults::m_eLC},
        {PROM_CODE, &CCodeDiffResults::m_ePROM},
        {BS_CODE, &CCodeDiffResults::m_eBS},
        {CPLD_CODE, &CCodeDiffResults::m_eCPLD},
        {MAC_CODE, &CCodeDiffResults::m_eMAC}};
    const std::pair<DIFFTYPE, const char*> verdicts[] = {
        {DIFF_SAME, "Same"},     {DIFF_NEWER, "Newer"},          {DIFF_OLDER, "Older"},
        {DIFF_FORCED, "Forced"}, {static_cast<DIFFTYPE>(7), ""}, {static_cast<DIFFTYPE>(-1), ""}};
    const char* const names[] = {"LC", "PROM", "BS", "CPLD", "MAC"};
    for (const auto& [codeType, field] : fields) {
        for (const auto& [verdict, word] : verdicts) {
            CCodeDiffResults results;  // Same everywhere else
            results.SetDiff(codeType, verdict);
            EXPECT_EQ(results.*field, verdict) << codeType;
            EXPECT_EQ(results.GetDiff(codeType), verdict);
            EXPECT_EQ(results.DifferencesFound(), verdict != DIFF_SAME) << results.ToString();
            std::string text;
            for (int code = LC_CODE; code <= MAC_CODE; ++code) {
                text += std::string(code == LC_CODE ? "" : " ") + names[code] + ":" +
                        (code == codeType ? word : "Same") + ",";
            }
            EXPECT_EQ(results.ToString(), text);
        }
    }
    CCodeDiffResults results;
    results.SetDiff(static_cast<CODETYPE>(5), DIFF_OLDER);
    EXPECT_FALSE(results.DifferencesFound());
    results.m_eMAC = DIFF_OLDER;
    EXPECT_EQ(results.GetDiff(static_cast<CODETYPE>(5)), DIFF_SAME);
}

}  // namespace
