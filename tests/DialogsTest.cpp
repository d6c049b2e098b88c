// The dialogs against the stand-in popup library: what they ask of it, in order, and how they
// end under scripted input.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PopupDrivers.h"
#include "PopupLibrary.h"
#include "PopupResources.h"
#include "dialogs/CKeyboardDialog.h"
#include "dialogs/CTabDialog.h"
#include "dialogs/CUserEntry.h"

namespace {

using gwu::host::PopupEvent;
using gwu::host::PopupOp;
using gwu::host::PopupView;

using Step = std::function<std::optional<PopupEvent>(const PopupView&)>;

// Asks a function for each event.
class FunctionDriver : public gwu::host::PopupDriver {
public:
    explicit FunctionDriver(Step step) : m_step(std::move(step)) {}
    std::optional<PopupEvent> NextEvent(const PopupView& view) override { return m_step(view); }

private:
    Step m_step;
};

class PopupTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gwu::host::ResetPopupLibrary()); }
    void TearDown() override {
        gwu::host::SetPopupDriver(nullptr);
        EXPECT_TRUE(gwu::host::ResetPopupLibrary());
    }

    static void Keys(const std::string& script) {
        std::string error;
        const auto events = gwu::host::ParseKeyScript(script, &error);
        ASSERT_TRUE(events.has_value()) << error;
        gwu::host::SetPopupDriver(std::make_unique<gwu::host::ScriptDriver>(*events));
    }

    static void Steps(Step step) {
        gwu::host::SetPopupDriver(std::make_unique<FunctionDriver>(std::move(step)));
    }

    // Plays the script and keeps the popup as it was before each event, and after the last.
    void KeysRecording(const std::string& script) {
        const auto events = gwu::host::ParseKeyScript(script);
        ASSERT_TRUE(events.has_value());
        Steps([this, events = *events, next = size_t{0}](const PopupView& view) mutable {
            m_views.push_back(view);
            return next < events.size() ? std::optional<PopupEvent>(events[next++]) : std::nullopt;
        });
    }

    static std::vector<std::string> Lines() { return gwu::host::PopupTraceLines(); }

    static std::vector<gwu::host::PopupTraceEntry> Entries(PopupOp op) {
        std::vector<gwu::host::PopupTraceEntry> found;
        for (const auto& entry : gwu::host::PopupTrace()) {
            if (entry.op == op) {
                found.push_back(entry);
            }
        }
        return found;
    }

    // The values set on one attribute of one widget, in order.
    static std::vector<std::string> ValuesSet(int widget, int code) {
        std::vector<std::string> values;
        for (const auto& entry : Entries(PopupOp::SetValue)) {
            if (entry.widget == widget && entry.attributes.at(0).code == code) {
                values.push_back(gwu::host::DescribeAttribute(entry.attributes[0]));
            }
        }
        return values;
    }

    std::vector<PopupView> m_views;
};

// A dialog with one label in its body that records how it was ended.
class TestDialog : public CTabDialog {
public:
    TestDialog(int width = 300, int height = 200) : CTabDialog(width, height) {}

    using CTabDialog::ButtonCallback;
    using CTabDialog::EndDialog;
    int Body() const { return m_body; }

    std::function<void(TestDialog&)> extraControls;
    std::vector<int> endValues;
    std::vector<size_t> traceSizeAtEnd;
    int controlsMade = 0;

protected:
    void CreateControls() override {
        ++controlsMade;
        const QW_ATTR attrs[] = {{63, 16}, {64, 16}, {313, "body"}};
        QW_NewWidget(3, m_body, attrs, 3);
        if (extraControls) {
            extraControls(*this);
        }
    }
    void OnEndDialog(int result) override {
        endValues.push_back(result);
        traceSizeAtEnd.push_back(gwu::host::PopupTrace().size());
    }
};

using TabDialogTest = PopupTest;

TEST_F(TabDialogTest, BuildsThePopupInOrderAndRunsIt) {
    TestDialog dialog;
    dialog.SetTitle("Check");
    dialog.SetIcon(164);
    EXPECT_TRUE(Lines().empty()) << "title and icon are only stored before the run";
    Keys("<tick>");

    EXPECT_EQ(dialog.DoModal(), 1);

    const std::vector<std::string> expected = {
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
        "NewWidget(3, #1, [63=5, 65=16, 64=16, 313=\"Check\", 7=267, 312=1, 6=33, 15=2]) -> #6",
        "ValueOf(#5, 56) = 32",
        "ValueOf(#6, 56) = 24",
        "SetValue(#6, 56=32, 1)",
        "NewWidget(2, #1, [64=6, 63=16, 65=16, 66=16, 8=0xFFFFFF, 50=7]) -> #7",
        "NewWidget(3, #7, [63=16, 64=16, 313=\"body\"]) -> #8",
        "SetValue(#1, 17=1, 1)",
        "DoModalPopup(#1) begins",
        "input #1: press tick",
        "EndPopup(#1, 1)",
        "DoModalPopup(#1) returns 1",
    };
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(dialog.endValues, std::vector<int>{1});
}

TEST_F(TabDialogTest, TitleRowIsNeverLowerThanTheIcon) {
    for (const char* title : {"", "One line", "Two\r\nlines"}) {
        SCOPED_TRACE(title);
        ASSERT_TRUE(gwu::host::ResetPopupLibrary());
        TestDialog dialog;
        dialog.SetTitle(title);
        int titleHeight = -1;
        Steps([&titleHeight](const PopupView& view) {
            titleHeight = view.Find(6)->Height();
            return std::optional<PopupEvent>(PopupEvent::Press(gwu::host::kTickButton));
        });
        EXPECT_EQ(dialog.DoModal(), 1);

        const int lines = std::string(title).find('\n') == std::string::npos ? 1 : 2;
        EXPECT_EQ(titleHeight, std::max(32, lines * gwu::host::kTitleLineHeight));
        EXPECT_EQ(ValuesSet(6, 56).size(), lines == 1 ? 1u : 0u);
    }
}

TEST_F(TabDialogTest, TitleAndIconChangeAtOnceWhileShownAndAreStoredOtherwise) {
    TestDialog dialog;
    dialog.SetTitle("Before");
    dialog.SetIcon(163);
    PopupView changed;
    Steps([&dialog, &changed, step = 0](const PopupView& view) mutable {
        if (step++ == 0) {
            dialog.SetTitle("During");
            dialog.SetIcon(164);
            return std::optional<PopupEvent>(PopupEvent::Key('x'));  // no keyboard: dropped
        }
        changed = view;
        return std::optional<PopupEvent>(PopupEvent::Press(gwu::host::kTickButton));
    });
    ASSERT_EQ(dialog.DoModal(), 1);

    const auto made = Entries(PopupOp::NewWidget);
    EXPECT_EQ(gwu::host::DescribeAttribute(made.at(0).attributes.at(5)), "309=icon 163");
    EXPECT_EQ(gwu::host::DescribeAttribute(made.at(1).attributes.at(3)), "313=\"Before\"");
    EXPECT_EQ(changed.Find(6)->Text(), "During");
    EXPECT_EQ(gwu::host::IconId(changed.Find(5)->Icon()), 164u);
    EXPECT_EQ(changed.Render().substr(0, 11), "(i) During\n");

    // After the run the labels are gone: the title is only stored, and the next run shows it.
    const size_t traced = gwu::host::PopupTrace().size();
    dialog.SetTitle("After");
    EXPECT_EQ(gwu::host::PopupTrace().size(), traced);
    Keys("<cross>");
    EXPECT_EQ(dialog.DoModal(), -1);
    const auto remade = Entries(PopupOp::NewWidget);
    ASSERT_EQ(remade.size(), 8u);
    EXPECT_GT(remade[5].widget, made[3].widget) << "handles are never reused";
    EXPECT_EQ(gwu::host::DescribeAttribute(remade[5].attributes.at(3)), "313=\"After\"");
    EXPECT_EQ(dialog.controlsMade, 2);
}

TEST_F(TabDialogTest, EndValuesOfTheButtonsAndOfASubclass) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"<tick>", 1}, {"<cross>", -1}, {"<back>", -1}, {"E", 5}};
    for (const auto& [script, value] : cases) {
        SCOPED_TRACE(script);
        ASSERT_TRUE(gwu::host::ResetPopupLibrary());
        TestDialog dialog;
        // A keyboard of the subclass's own that ends the dialog with 5 on the key E.
        dialog.extraControls = [](TestDialog& self) {
            int keyboard = QW_NewWidget(13, self.Body(), nullptr, 0);
            QW_AddCallback(
                keyboard, 2,
                [&self](int, int, int key) {
                    if (key == 'E') {
                        self.EndDialog(5);
                    }
                    return 1;
                },
                keyboard);
        };
        Keys(script);
        EXPECT_EQ(dialog.DoModal(), value);
        EXPECT_EQ(dialog.endValues, std::vector<int>{value});
        // The subclass heard of the end before the popup was ended.
        const auto trace = gwu::host::PopupTrace();
        const auto endPopup = std::find_if(trace.begin(), trace.end(), [](const auto& entry) {
            return entry.op == PopupOp::EndPopup;
        });
        ASSERT_NE(endPopup, trace.end());
        EXPECT_LE(dialog.traceSizeAtEnd.at(0), static_cast<size_t>(endPopup - trace.begin()));
        EXPECT_EQ(Entries(PopupOp::EndPopup).size(), 1u);
    }
}

TEST_F(TabDialogTest, OtherWidgetsAndCallsAfterTheRunEndNothing) {
    TestDialog dialog;
    int foreignResult = 0;
    Steps([&dialog, &foreignResult, step = 0](const PopupView&) mutable {
        if (step++ == 0) {
            foreignResult = dialog.ButtonCallback(2, dialog.Body(), 0);
            return std::optional<PopupEvent>(PopupEvent::Key('x'));
        }
        return std::optional<PopupEvent>(PopupEvent::Press(gwu::host::kGoBackButton));
    });
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(foreignResult, 1);
    EXPECT_EQ(dialog.endValues, std::vector<int>{-1}) << "the foreign widget ended nothing";

    const size_t traced = gwu::host::PopupTrace().size();
    dialog.EndDialog(7);
    EXPECT_EQ(dialog.ButtonCallback(2, 0, 0), 1);
    EXPECT_EQ(dialog.endValues, (std::vector<int>{-1, 7}));
    EXPECT_EQ(gwu::host::PopupTrace().size(), traced) << "no popup is touched after the run";
}

TEST_F(TabDialogTest, HiddenButtonsCannotBePressedAndRunningOutOfInputCloses) {
    TestDialog dialog;
    dialog.extraControls = [](TestDialog& self) {
        self.HideTickButton();
        self.HideCrossButton();
    };
    Keys("<tick>");
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(dialog.endValues, std::vector<int>{-1});
    const auto inputs = Entries(PopupOp::Input);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0].text, "press tick (hidden, dropped)");
    EXPECT_EQ(inputs[1].text, "press cross") << "out of input: closed as the cross would";
}

TEST_F(TabDialogTest, NoPopupMeansNoRun) {
    TestDialog dialog(0, 400);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(dialog.controlsMade, 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"BlankPopup(0, 0, 400, 4) -> #0"});
}

// The keyboard dialog ---------------------------------------------------------------------

using KeyboardDialogTest = PopupTest;

TEST_F(KeyboardDialogTest, BuildsPromptEntryAndKeyboardUnderTheBody) {
    Keys("");
    CKeyboardDialog dialog("Serial", "Line1\r\nLine2", 16, true, false, 1, false);
    EXPECT_FALSE(dialog.IsAccepted());

    const auto lines = Lines();
    const auto body = std::find(lines.begin(), lines.end(),
                                "NewWidget(2, #1, [64=6, 63=16, 65=16, 66=16, 8=0xFFFFFF, 50=7]) "
                                "-> #7");
    ASSERT_NE(body, lines.end());
    const std::vector<std::string> controls(body + 1, body + 12);
    const std::vector<std::string> expected = {
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
    };
    EXPECT_EQ(controls, expected);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "NewWidget(3, #1, [63=16, 64=16, 55=32, 56=32, 301=1, 309=icon 163]) "
                        "-> #5"),
              lines.end());
    EXPECT_EQ(Entries(PopupOp::NewWidget).at(1).attributes.at(3).value,
              gwu::host::AttrValue(std::string("Serial")));
}

TEST_F(KeyboardDialogTest, EntryFormatPromptAndKeyboardType) {
    struct Case {
        int maxLength;
        const char* prompt;
        bool variant;
        const char* entryFormat;
        const char* entryTop;
        int keyboardType;
    };
    for (const Case& c :
         {Case{50, "P", false, "6=34", "64=9", 13}, Case{51, "P", true, "6=2", "64=9", 11},
          Case{16, nullptr, false, "6=34", "64=16", 13}}) {
        SCOPED_TRACE(c.maxLength);
        ASSERT_TRUE(gwu::host::ResetPopupLibrary());
        Keys("");
        // A null title or prompt counts as empty.
        CKeyboardDialog dialog(nullptr, c.prompt, c.maxLength, true, true, 1, c.variant);
        std::vector<gwu::host::PopupTraceEntry> inBody;
        for (const auto& entry : Entries(PopupOp::NewWidget)) {
            if (entry.parent == 7 && entry.widget != 8) {  // not the measuring label
                inBody.push_back(entry);
            }
        }
        const bool hasPrompt = c.prompt != nullptr;
        ASSERT_EQ(inBody.size(), hasPrompt ? 3u : 2u);
        const auto& entryLabel = inBody[hasPrompt ? 1 : 0];
        EXPECT_EQ(gwu::host::DescribeAttribute(entryLabel.attributes.at(2)), c.entryTop);
        EXPECT_EQ(gwu::host::DescribeAttribute(entryLabel.attributes.at(4)), c.entryFormat);
        EXPECT_EQ(inBody.back().type, c.keyboardType);
    }
}

TEST_F(KeyboardDialogTest, MaximumLengthDropsFurtherKeys) {
    Keys("ABCDEFGHIJKLMNOPQ<tick>");
    CKeyboardDialog dialog("", "", 16, true, true, 1, false);
    CString text;
    dialog.GetText(text);
    EXPECT_TRUE(dialog.IsAccepted());
    EXPECT_EQ(text, "ABCDEFGHIJKLMNOP");
    const auto shown = ValuesSet(9, 313);
    ASSERT_EQ(shown.size(), 16u) << "the seventeenth key leaves the label alone";
    EXPECT_EQ(shown.back(), "313=\"ABCDEFGHIJKLMNOP\"");
}

TEST_F(KeyboardDialogTest, TickFollowsTheMinimumLength) {
    // Minimum 1: hidden, shown from the first character, hidden again when the text empties.
    // Backspace on an empty text changes nothing; a hidden tick cannot be pressed.
    KeysRecording("A<bs><bs><tick>");
    {
        CKeyboardDialog dialog("", "", 16, true, true, 1, false);
        EXPECT_FALSE(dialog.IsAccepted());
    }
    ASSERT_EQ(m_views.size(), 5u);
    const std::vector<bool> tickShown = {false, true, false, false, false};
    for (size_t i = 0; i < m_views.size(); ++i) {
        EXPECT_EQ(m_views[i].ButtonShown(gwu::host::kTickButton), tickShown[i]) << i;
    }
    EXPECT_EQ(m_views[1].Find(9)->Text(), "A");
    EXPECT_EQ(m_views[2].Find(9)->Text(), "");
    EXPECT_EQ(ValuesSet(9, 313), (std::vector<std::string>{"313=\"A\"", "313=\"\""}));

    // Minimum 0: hidden at first, shown after any key, even one that is ignored.
    m_views.clear();
    ASSERT_TRUE(gwu::host::ResetPopupLibrary());
    KeysRecording("a<tick>");
    CKeyboardDialog empty("", "", 16, true, true, 0, false);
    ASSERT_EQ(m_views.size(), 2u);
    EXPECT_FALSE(m_views[0].ButtonShown(gwu::host::kTickButton));
    EXPECT_TRUE(m_views[1].ButtonShown(gwu::host::kTickButton));
    EXPECT_TRUE(empty.IsAccepted());
    CString text = "unchanged";
    empty.GetText(text);
    EXPECT_EQ(text, "");
}

TEST_F(KeyboardDialogTest, OnlyCapitalsDigitsUnderscoreAndAllowedSpacesAreTaken) {
    // 0x141 has 'A' in its low 8 bits; 0xC8 is a negative character.
    Keys("az-.!<lt> <200><321>_9<tick>");
    CKeyboardDialog noSpaces("", "", 16, true, false, 1, false);
    CString text;
    noSpaces.GetText(text);
    EXPECT_EQ(text, "A_9");
    // Every key re-evaluates the tick and hides the cross again, ignored or not.
    // Shown when the popup is built, hidden by the keyboard, then once per key.
    EXPECT_EQ(ValuesSet(2, 17).size(), 2u + 11u);
    std::vector<std::string> crossHidden(1u + 11u, "17=0");
    crossHidden.insert(crossHidden.begin(), "17=1");
    EXPECT_EQ(ValuesSet(3, 17), crossHidden);

    ASSERT_TRUE(gwu::host::ResetPopupLibrary());
    Keys("A B<tick>");
    CKeyboardDialog spaces("", "", 16, false, true, 1, false);
    spaces.GetText(text);
    EXPECT_EQ(text, "A B");
    EXPECT_EQ(ValuesSet(3, 17), std::vector<std::string>{"17=1"})
        << "a cross that may be shown is left alone";
}

// The user entry ------------------------------------------------------------------------

using UserEntryTest = PopupTest;

TEST_F(UserEntryTest, PromptsComeFromTheStringResources) {
    const CUserEntry entry(nullptr, false);
    const CString first = QX_LoadString(1214);
    const CString common = QX_LoadString(1215);
    const CString again = QX_LoadString(1216);
    ASSERT_FALSE(first.empty() || common.empty() || again.empty());
    EXPECT_NE(first, again);
    EXPECT_EQ(entry.BuildPrompt(0), first + "\r\n" + common);
    EXPECT_EQ(entry.BuildPrompt(1), again + "\r\n" + common);
}

TEST_F(UserEntryTest, KindDecidesTheCrossAndTheGoBackIsAlwaysThere) {
    for (const int kind : {0, 1}) {
        SCOPED_TRACE(kind);
        m_views.clear();
        ASSERT_TRUE(gwu::host::ResetPopupLibrary());
        KeysRecording("");
        CUserEntry entry(nullptr, false);
        CString text;
        entry.GetUserEntry(text, kind, 16, 1, nullptr);
        ASSERT_FALSE(m_views.empty());
        EXPECT_EQ(m_views[0].ButtonShown(gwu::host::kCrossButton), kind == 1);
        EXPECT_TRUE(m_views[0].ButtonShown(gwu::host::kGoBackButton));
        EXPECT_EQ(m_views[0].Find(9)->Text(), entry.BuildPrompt(kind));
        EXPECT_EQ(m_views[0].Find(11)->type, 13);
    }
}

TEST_F(UserEntryTest, HandsBackTheTextOnlyAfterTheTick) {
    struct Case {
        int kind;
        const char* keys;
        const char* result;
    };
    for (const Case& c :
         {Case{0, "AB12<tick>", "AB12"}, Case{1, "AB12<cross>", "KEEP"},
          Case{0, "AB12<back>", "KEEP"}, Case{0, "AB12<cross>", "KEEP"}, Case{0, "AB12", "KEEP"}}) {
        SCOPED_TRACE(c.keys);
        ASSERT_TRUE(gwu::host::ResetPopupLibrary());
        Keys(c.keys);
        CUserEntry entry(nullptr, false);
        CString text = "KEEP";
        bool flag = true;
        entry.GetUserEntry(text, c.kind, 16, 1, &flag);
        EXPECT_EQ(text, c.result);
        EXPECT_FALSE(flag);
    }
}

// The stand-in library itself -------------------------------------------------------------

using DialogStandInTest = PopupTest;

TEST_F(DialogStandInTest, KeyScripts) {
    const auto events = gwu::host::ParseKeyScript("A<tick><bs><lt><65><back><esc><enter>");
    ASSERT_TRUE(events.has_value());
    const std::vector<std::pair<PopupEvent::Kind, int>> expected = {
        {PopupEvent::Kind::Key, 'A'},  {PopupEvent::Kind::Button, 1},
        {PopupEvent::Kind::Key, 8},    {PopupEvent::Kind::Key, '<'},
        {PopupEvent::Kind::Key, 65},   {PopupEvent::Kind::Button, 32},
        {PopupEvent::Kind::Button, 2}, {PopupEvent::Kind::Button, 1}};
    ASSERT_EQ(events->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*events)[i].kind, expected[i].first) << i;
        EXPECT_EQ((*events)[i].code, expected[i].second) << i;
    }
    for (const char* bad : {"<nope>", "AB<tick", "<70000>", "<>", "<-1>"}) {
        std::string error;
        EXPECT_FALSE(gwu::host::ParseKeyScript(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST_F(DialogStandInTest, MessagePopupRunsLikeAnyPopup) {
    Keys("X<tick>");
    EXPECT_EQ(CEsbFrame::MessagePopup(0, "", QX_LoadString(1217), 164, 34, 0, 0, 0), 1);
    EXPECT_EQ(CEsbFrame::MessagePopup(0, "", QX_LoadString(1218), 164, 34, 0, 0, 0), -1);
    const auto messages = Entries(PopupOp::MessagePopup);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Describe(),
              "MessagePopup(0, \"\", \"" + QX_LoadString(1217) + "\", 164, 34, 0, 0, 0) -> #1");
    EXPECT_NE(QX_LoadString(1217), QX_LoadString(1218));
    EXPECT_EQ(Entries(PopupOp::NewWidget).size(), 0u) << "its own controls stay out of the trace";
    EXPECT_EQ(Entries(PopupOp::ModalEnd).at(1).args.at(0), -1);
}

TEST_F(DialogStandInTest, WidgetsGoWithTheirParentAndHandlesAreNotReused) {
    CTabPopup* popup = CEsbFrame::BlankPopup(0, 100, 100, 4);
    ASSERT_NE(popup, nullptr);
    int box = QW_NewWidget(2, popup->GetRoot(), nullptr, 0);
    const int inner = QW_NewWidget(3, box, nullptr, 0);
    const int keep = QW_NewWidget(3, popup->GetRoot(), nullptr, 0);
    const int gone = box;
    QW_DeleteWidget(box, 0);
    EXPECT_EQ(box, 0);
    EXPECT_EQ(QW_SetValue(inner, 17, 0, 1), 0);
    EXPECT_EQ(QW_SetValue(gone, 17, 0, 1), 0);
    EXPECT_EQ(QW_SetValue(keep, 17, 0, 1), 1);
    EXPECT_EQ(QW_NewWidget(3, gone, nullptr, 0), 0);
    EXPECT_GT(QW_NewWidget(3, keep, nullptr, 0), keep);
    EXPECT_EQ(CEsbFrame::DoModalPopup(popup), -1);  // no input
    EXPECT_FALSE(gwu::host::ViewOfPopup(1).has_value());
    EXPECT_EQ(QW_SetValue(keep, 17, 1, 1), 0) << "the popup took its widgets with it";
}

}  // namespace
