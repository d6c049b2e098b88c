// The dialogs against the stand-in popup library: what they ask of it, in order, and how they
// end under scripted input.
#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dialogs/CKeyboardDialog.h"
#include "dialogs/CTabDialog.h"
#include "dialogs/CUserEntry.h"
#include "host/popup/PopupLibrary.h"
#include "testsupport/Fixtures.h"

namespace {

namespace host = gwu::host;
using gwu::test::Lines;
using host::PopupView;

class PopupTest : public ::testing::Test {
protected:
    // Starts afresh (no popups, trace or views) and plays the script from now on, keeping the
    // popup as it was before each event, and after the last.
    void Keys(const std::string& script) {
        m_views.clear();
        m_popups.Play(script, [this](const PopupView& view) { m_views.push_back(view); });
    }

    // The trace lines that start with the text.
    static Lines Traced(const std::string& start = "") {
        Lines found;
        for (const std::string& line : host::PopupTraceLines()) {
            if (line.rfind(start, 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    std::vector<PopupView> m_views;
    gwu::test::ScriptedPopups m_popups;  // goes first, with its driver that fills m_views
};

// A dialog with a keyboard of its own in its body, which ends the dialog
// with 5 on the key E, retitles it on T and reports a press of the body on F. It records how
// it was ended.
class TestDialog : public CTabDialog {
public:
    explicit TestDialog(int width = 300) : CTabDialog(width, 200) {}

    using CTabDialog::ButtonCallback;
    using CTabDialog::EndDialog;

    std::vector<int> endValues;
    size_t traceAtEnd = 0;

protected:
    void CreateControls() override {
        const int keyboard = QW_NewWidget(13, m_body, nullptr, 0);
        QW_AddCallback(
            keyboard, 2,
            [this](int, int, int key) {
                if (key == 'E') {
                    EndDialog(5);
                } else if (key == 'T') {
                    SetTitle("During");
                    SetIcon(164);
                } else if (key == 'F') {
                    ButtonCallback(2, m_body, 0);
                }
                return 1;
            },
            keyboard);
    }
    void OnEndDialog(int result) override {
        endValues.push_back(result);
        traceAtEnd = host::PopupTrace().size();
    }
};

using TabDialogTest = PopupTest;

TEST_F(TabDialogTest, BuildsThePopupInOrderAndRunsIt) {
    TestDialog dialog;
    dialog.SetTitle("Check");
    dialog.SetIcon(164);
    EXPECT_TRUE(Traced().empty()) << "title and icon are only stored before the run";
    Keys("<tick>");
    EXPECT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(Traced(),
              (Lines{
                  "BlankPopup(0, 300, 200, 4) -> #1",
                  "SetValue(#1, 17=0, 1)",
                  "NewSystemButton(#1, 1, []) -> #2",
                  "SetValue(#2, 17=1, 1)",
                  "AddCallback(#2, 2, data 2)",
                  "NewSystemButton(#1, 2, []) -> #3",
                  "SetValue(#3, 17=1, 1)",
                  "AddCallback(#3, 2, data 3)",
                  "NewSystemButton(#1, 32, []) -> #4",
                  "SetValue(#4, 401=2, 1)",
                  "SetValue(#4, 17=1, 1)",
                  "AddCallback(#4, 2, data 4)",
                  "NewWidget(3, #1, [63=16, 64=16, 55=32, 56=32, 301=1, 309=icon 164]) -> #5",
                  "NewWidget(3, #1, [63=5, 65=16, 64=16, 313=\"Check\", 7=267, 312=1, 6=33, 15=2]) "
                  "-> #6",
                  "ValueOf(#5, 56) = 32",
                  "ValueOf(#6, 56) = 24",
                  "SetValue(#6, 56=32, 1)",
                  "NewWidget(2, #1, [64=6, 63=16, 65=16, 66=16, 8=0xFFFFFF, 50=7]) -> #7",
                  "NewWidget(13, #7, []) -> #8",
                  "AddCallback(#8, 2, data 8)",
                  "SetValue(#1, 17=1, 1)",
                  "DoModalPopup(#1) begins",
                  "input #1: press tick",
                  "EndPopup(#1, 1)",
                  "DoModalPopup(#1) returns 1",
              }));
}

// While the popup is shown a new title or icon shows at once; after the run the handles are
// forgotten, so a change is only stored and the next run shows it. A one-line title row is
// raised to the icon's height (see above); a taller one keeps its own.
TEST_F(TabDialogTest, TitleAndIconChangeWhileShownAndAreStoredAfterTheRun) {
    TestDialog dialog;
    Keys("T<tick>");
    ASSERT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(m_views.at(1).Render().substr(0, 11), "(i) During\n");

    const size_t traced = host::PopupTrace().size();
    dialog.SetTitle("After\r\nlines");
    dialog.SetIcon(163);
    EXPECT_EQ(host::PopupTrace().size(), traced);
    Keys("<cross>");
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(m_views.at(0).Render().substr(0, 18), "[kbd] After\nlines\n");
    EXPECT_EQ(m_views.at(0).Find(6)->Height(), 2 * host::kTitleLineHeight);
    EXPECT_TRUE(Traced("SetValue(#6, 56=").empty());
}

// Tick 1, cross and go-back -1, a subclass its own value; a press reported for another widget
// ends nothing. The subclass hears of the end just before the popup is ended, once. After the
// run the button handles are 0, which names no widget, and an end reaches only the subclass.
TEST_F(TabDialogTest, EndValuesOfTheButtonsAndOfASubclass) {
    for (const auto& [script, value] : std::vector<std::pair<std::string, int>>{
             {"<tick>", 1}, {"<cross>", -1}, {"<back>", -1}, {"E", 5}, {"F<tick>", 1}}) {
        SCOPED_TRACE(script);
        Keys(script);
        TestDialog dialog;
        EXPECT_EQ(dialog.DoModal(), value);
        EXPECT_EQ(dialog.endValues, std::vector<int>{value});
        EXPECT_EQ(Traced().at(dialog.traceAtEnd), "EndPopup(#1, " + std::to_string(value) + ")");
        EXPECT_EQ(Traced("EndPopup").size(), 1u);

        const size_t traced = host::PopupTrace().size();
        EXPECT_EQ(dialog.ButtonCallback(2, 0, 0), 1);
        dialog.EndDialog(7);
        EXPECT_EQ(dialog.endValues, (std::vector<int>{value, 7}));
        EXPECT_EQ(host::PopupTrace().size(), traced) << "no popup is touched after the run";
    }
}

TEST_F(TabDialogTest, NoPopupMeansNoRun) {
    TestDialog dialog(0);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(Traced(), Lines{"BlankPopup(0, 0, 200, 4) -> #0"});
}

// The keyboard dialog ---------------------------------------------------------------------

using KeyboardDialogTest = PopupTest;

// The controls in the body, after the frame every dialog builds alike.
TEST_F(KeyboardDialogTest, BuildsPromptEntryAndKeyboardUnderTheBody) {
    Keys("");
    CKeyboardDialog dialog("Serial", "Line1\r\nLine2", 16, true, false, 1, false);
    EXPECT_FALSE(dialog.IsAccepted());
    EXPECT_EQ(m_views.at(0).Render().substr(0, 13), "[kbd] Serial\n");
    const Lines lines = Traced();
    ASSERT_GT(lines.size(), 29u);
    EXPECT_EQ(Lines(lines.begin() + 18, lines.begin() + 29),
              (Lines{
                  "NewWidget(3, #7, [64=16, 63=16, 313=\"X\", 7=268, 312=1, 17=0]) -> #8",
                  "ValueOf(#8, 56) = 28",
                  "DeleteWidget(#8, 0)",
                  "NewWidget(3, #7, [63=16, 65=16, 64=16, 56=84, 7=268, 6=34, "
                  "313=\"Line1\\r\\nLine2\"]) -> #9",
                  "NewWidget(3, #7, [63=16, 65=16, 64=9, 56=84, 6=34, 7=268, 313=\"\", 8=0xDCDCDC, "
                  "50=6]) -> #10",
                  "NewWidget(13, #7, [63=16, 65=16, 66=16, 64=10, 0=5, 50=7, 15=0]) -> #11",
                  "AddCallback(#11, 2, data 11)",
                  "SetValue(#2, 17=0, 1)",
                  "SetValue(#3, 17=0, 1)",
                  "SetValue(#1, 17=1, 1)",
                  "DoModalPopup(#1) begins",
              }));
}

// Entries of up to 50 characters are shown larger (format 34, else 2); without a prompt, empty
// or null, the entry moves up; the keyboard variant is another type.
TEST_F(KeyboardDialogTest, EntryFormatPromptAndKeyboardType) {
    for (const auto& [maxLength, prompt, variant, format, keyboardType] :
         std::vector<std::tuple<int, const char*, bool, int, int>>{{50, "P", false, 34, 13},
                                                                   {51, "P", true, 2, 11},
                                                                   {16, "", false, 34, 13},
                                                                   {16, nullptr, false, 34, 13}}) {
        SCOPED_TRACE(maxLength);
        Keys("");
        CKeyboardDialog dialog(nullptr, prompt, maxLength, true, true, 1, variant);
        std::vector<host::WidgetSnapshot> body;
        std::copy_if(m_views.at(0).widgets.begin(), m_views.at(0).widgets.end(),
                     std::back_inserter(body),
                     [](const auto& widget) { return widget.parent == 7; });
        const bool prompted = prompt != nullptr && *prompt != '\0';
        ASSERT_EQ(body.size(), prompted ? 3u : 2u);
        const auto& entry = body[body.size() - 2];
        EXPECT_EQ(entry.Number(6), format);
        EXPECT_EQ(entry.Number(64), prompted ? body[0].handle : 16);
        EXPECT_EQ(body.back().type, keyboardType);
    }
}

// Only capitals, digits, '_' and, where allowed, spaces are taken, up to the maximum; every key,
// taken or not, re-evaluates the tick and hides again a cross that may not be shown.
TEST_F(KeyboardDialogTest, TakesOnlyAllowedKeysUpToTheMaximum) {
    for (const auto& [keys, noSpaces, allowCancel, text] :
         std::vector<std::tuple<std::string, bool, bool, std::string>>{
             {"ABCDEFGHIJKLMNOPQ<tick>", true, true, "ABCDEFGHIJKLMNOP"},
             // 0x141 has 'A' in its low 8 bits; 0xC8 is a negative character.
             {"az-.!<lt> <200><321>_9<tick>", true, false, "A_9"},
             {"A B<tick>", false, true, "A B"}}) {
        SCOPED_TRACE(keys);
        Keys(keys);
        CKeyboardDialog dialog("", "", 16, noSpaces, allowCancel, 1, false);
        EXPECT_TRUE(dialog.IsAccepted());
        CString typed;
        dialog.GetText(typed);
        EXPECT_EQ(typed, text);
        const Lines shown = Traced("SetValue(#9, 313=");
        EXPECT_EQ(shown.size(), text.size());
        EXPECT_EQ(shown.back(), "SetValue(#9, 313=\"" + text + "\", 1)");
        const size_t pressed = m_views.size() - 1;  // every event but the tick
        EXPECT_EQ(Traced("SetValue(#2, 17=").size(), 2 + pressed);
        EXPECT_EQ(Traced("SetValue(#3, 17=0").size(), allowCancel ? 0 : 1 + pressed);
    }
}

// The tick shows once the text reaches the minimum length and hides below it; a backspace on
// an empty text changes nothing and a hidden tick cannot be pressed. With minimum 0 any key,
// even an ignored one, shows the tick.
TEST_F(KeyboardDialogTest, TickFollowsTheMinimumLength) {
    Keys("A<bs><bs><tick>");
    EXPECT_FALSE(CKeyboardDialog("", "", 16, true, true, 1, false).IsAccepted());
    ASSERT_EQ(m_views.size(), 5u);
    const std::vector<bool> tickShown = {false, true, false, false, false};
    for (size_t i = 0; i < m_views.size(); ++i) {
        EXPECT_EQ(m_views[i].ButtonShown(host::kTickButton), tickShown[i]) << i;
    }
    EXPECT_EQ(Traced("SetValue(#9, 313="),
              (Lines{"SetValue(#9, 313=\"A\", 1)", "SetValue(#9, 313=\"\", 1)"}));

    Keys("a<tick>");
    CKeyboardDialog empty("", "", 16, true, true, 0, false);
    ASSERT_EQ(m_views.size(), 2u);
    EXPECT_FALSE(m_views[0].ButtonShown(host::kTickButton));
    EXPECT_TRUE(empty.IsAccepted());
    CString text = "unchanged";
    empty.GetText(text);
    EXPECT_EQ(text, "");
}

// The user entry ------------------------------------------------------------------------

using UserEntryTest = PopupTest;

// The first request (kind 0) hides the cross, the repeated one (kind 1) shows it; the go-back
// is always there. The prompt is the request's own line over the common one. The text comes
// back only after the tick; a flag, if the caller passes one, is cleared.
TEST_F(UserEntryTest, KindDecidesThePromptAndTheCrossAndOnlyTheTickHandsBackTheText) {
    for (const auto& [kind, keys, result, flagged] :
         std::vector<std::tuple<int, const char*, const char*, bool>>{
             {0, "AB12<tick>", "AB12", true},
             {1, "AB12<cross>", "KEEP", true},
             {0, "AB12<back>", "KEEP", true},
             {1, "", "KEEP", false}}) {
        SCOPED_TRACE(keys);
        Keys(keys);
        CString text = "KEEP";
        bool flag = true;
        CUserEntry(nullptr, kind == 1).GetUserEntry(text, kind, 16, 1, flagged ? &flag : nullptr);
        EXPECT_EQ(text, result);
        EXPECT_EQ(flag, !flagged);
        ASSERT_FALSE(m_views.empty());
        const PopupView& view = m_views[0];
        EXPECT_EQ(view.ButtonShown(host::kCrossButton), kind == 1);
        EXPECT_TRUE(view.ButtonShown(host::kGoBackButton));
        EXPECT_EQ(view.Find(9)->Text(),
                  QX_LoadString(kind == 1 ? 1216 : 1214) + "\r\n" + QX_LoadString(1215));
        EXPECT_EQ(view.Find(11)->type, kind == 1 ? 11 : 13);  // the keyboard variant passed on
    }
}

}  // namespace
