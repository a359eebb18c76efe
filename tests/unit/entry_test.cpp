// Process entry: how the first command-line word is built and which mode it
// selects, and what each mode does when its Windows calls fail.
#include "fixture.h"

#include "platform/ascii.h"

using namespace testing_support;

namespace
{

class EntryTest : public SimTest
{
};

struct Outcome {
    int exitCode = -1;
    bool serviceMode = false;
    bool helperMode = false;
    // The name GetPropW was asked for; null when it was not asked once.
    sim::Value propertyName = sim::Text(nullptr);
};

// Runs the entry point with `commandLine` as a fresh process of the console
// session that was not started by the service control manager, on a fresh
// machine whose console desktop holds one window.
Outcome RunCase(const std::wstring &commandLine)
{
    FreshMachine();
    sim::SetServiceName(L"");
    sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", L"Unrelated");
    Outcome outcome;
    outcome.exitCode = sim::RunProcess(commandLine, kConsoleSession);
    outcome.serviceMode = sim::CallCount("StartServiceCtrlDispatcherW") == 1;
    outcome.helperMode = sim::CallCount("EnumWindowStationsW") == 1;
    auto props = sim::Calls("GetPropW");
    if (props.size() == 1) {
        outcome.propertyName = props[0]["lpString"];
    }
    EXPECT_TRUE(sim::HandleFaults().empty()) << sim::Ascii(commandLine);
    EXPECT_TRUE(sim::OpenHandles().empty());
    return outcome;
}

TEST_F(EntryTest, FirstWordFollowsTheRuntimeRules)
{
    const std::wstring module = kServicePath;
    EXPECT_EQ(sim::FirstWord(L"", module), L"C:\\Program");
    EXPECT_EQ(sim::FirstWord(L"\"" + module + L"\" PCI\\X", module), module);
    EXPECT_EQ(sim::FirstWord(L" PCI", module), L"");
    EXPECT_EQ(sim::FirstWord(L"\tPCI", module), L"");
    EXPECT_EQ(sim::FirstWord(L"\"\" PCI", module), L"");
    EXPECT_EQ(sim::FirstWord(L"pc\"i x\"y z", module), L"pci xy");
    // Backslashes have no special meaning, even before a quote.
    EXPECT_EQ(sim::FirstWord(L"\"C:\\dir\\\" next", module), L"C:\\dir\\");
    EXPECT_EQ(sim::FirstWord(L"PCI\\VEN_1412\tx", module), L"PCI\\VEN_1412");
}

TEST_F(EntryTest, WordsBeginningWithPciInAnyAsciiCaseSelectTheHelper)
{
    const std::wstring lower = L"pci\\ven_1412&dev_1724&subsys_7e4b2200&rev_01\\4&1a2b3c4d&0&00e0";
    const std::wstring mixed = L"Pci\\Ven_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\\4&1A2B3C4D&0&00E0";
    // Each case with the word the walk must look for.
    const std::pair<std::wstring, std::wstring> cases[] = {
        {kCardA, kCardA},
        {lower, lower},
        {mixed, mixed},
        {L"PCI", L"PCI"},
        {L"pci", L"pci"},
        {L"pCi", L"pCi"},
        {L"PCIX", L"PCIX"},
        {L"pciexplorer.exe /all", L"pciexplorer.exe"},
        // Quoted, with further words: the walk gets the word alone.
        {L"\"" + std::wstring(kCardA) + L"\" " + kCardB + L" extra", kCardA},
        {L"\"PCI\\VEN_1412&DEV 1724\"\tmore", L"PCI\\VEN_1412&DEV 1724"},
    };
    for (const auto &c : cases) {
        Outcome outcome = RunCase(c.first);
        SCOPED_TRACE(sim::Ascii(c.second));
        EXPECT_TRUE(outcome.helperMode);
        EXPECT_FALSE(outcome.serviceMode);
        EXPECT_EQ(outcome.propertyName, sim::Text(c.second.c_str()));
        EXPECT_EQ(outcome.exitCode, 0);
        // The message is registered once, before the walk, by its name.
        auto registrations = sim::Calls("RegisterWindowMessageW");
        ASSERT_EQ(registrations.size(), 1u);
        EXPECT_EQ(registrations[0]["lpString"], sim::Text(L"ForceClose"));
        EXPECT_LT(sim::FindCall("RegisterWindowMessageW"), sim::FindCall("EnumWindowStationsW"));
        EXPECT_TRUE(sim::Events().empty());
    }
}

TEST_F(EntryTest, EveryOtherWordSelectsTheService)
{
    const std::wstring cases[] = {
        L"PC", L"P", L"p",
        L"\"\" PCI",                                  // empty first word
        L" PCI\\VEN_1412&DEV_1724",                   // leading blank: empty first word
        L"\tpci",                                     // leading tab
        L"",                                          // the module path stands in
        L"C:\\Program Files\\HexlornS\\HexlornS.exe", // cut at its first blank
        L"\"C:\\Program Files\\HexlornS\\HexlornS.exe\" PCI\\VEN_1412", L"xPCI", L"PC I",
        // The characters next to the letters in each place: only A to Z fold.
        L"@CI", L"[CI", L"`ci", L"{ci", L"P@I", L"P[I", L"p`i", L"p{i", L"PC@", L"PC[", L"pc`", L"pc{",
        // Letters outside ASCII in each place: some look like P, C or I, the
        // low byte of others is one.
        L"\u0420CI",           // Cyrillic Er for P
        L"\u0150CI",           // O with double acute
        L"\uFF50ci",           // full-width p
        L"P\u0421I",           // Cyrillic Es for C
        L"P\u0143I",           // N with acute
        L"p\u0163i",           // t with cedilla
        L"PC\u0130\\VEN_1412", // dotted capital I
        L"pc\u0131",           // dotless small i
        L"PC\uFF29",           // full-width I
        L"pc\uFF49",           // full-width i
        L"PC\u0149",           // n preceded by apostrophe
        L"pc\u0169",           // i with tilde
    };
    for (const auto &commandLine : cases) {
        Outcome outcome = RunCase(commandLine);
        SCOPED_TRACE(sim::Ascii(commandLine));
        EXPECT_TRUE(outcome.serviceMode);
        EXPECT_FALSE(outcome.helperMode);
        EXPECT_EQ(sim::CallCount("RegisterWindowMessageW"), 0u);
        EXPECT_EQ(outcome.exitCode, 0);
        // Not started by the control manager: one record, nothing else.
        EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"StartServiceCtrlDispatcher")}));
    }
}

TEST_F(EntryTest, OnlyTheAsciiLettersFoldInTheComparisonTheModeTestUses)
{
    // The mode test's pattern is letters only, so a fold that took in a
    // neighbour of the letters would leave every mode as it is; the same
    // comparison also serves texts that hold those neighbours.
    const std::pair<const wchar_t *, const wchar_t *> equal[] = {{L"AZaz", L"azAZ"}, {L"MnO", L"mNo"}};
    const std::pair<const wchar_t *, const wchar_t *> unequal[] = {
        {L"@", L"`"},      {L"[", L"{"},           {L"\\", L"|"},     {L"_", L"\x7F"},
        {L"^", L"~"},      {L"\x00C0", L"\x00E0"}, {L"\x0130", L"i"}, {L"\x0131", L"I"},
        {L"\xFF29", L"i"}, {L"\x0150", L"P"},      {L"\x0170", L"p"}, {L"\x0049", L"\x0169"},
    };
    for (const auto &pair : equal) {
        EXPECT_TRUE(AsciiPrefixEquals(pair.first, pair.second, 4)) << sim::Ascii(pair.first);
        EXPECT_TRUE(AsciiPrefixEquals(pair.second, pair.first, 4)) << sim::Ascii(pair.first);
    }
    for (const auto &pair : unequal) {
        EXPECT_FALSE(AsciiPrefixEquals(pair.first, pair.second, 1)) << sim::Ascii(pair.first);
        EXPECT_FALSE(AsciiPrefixEquals(pair.second, pair.first, 1)) << sim::Ascii(pair.first);
    }
}

TEST_F(EntryTest, FromACommandPromptTheServiceWritesOneRecordAndExitsZero)
{
    sim::SetServiceName(L"");
    ServiceProcess service;
    service.Start(L"\"C:\\Program Files\\HexlornS\\HexlornS.exe\"");
    EXPECT_TRUE(service.Join());
    EXPECT_EQ(service.exitCode, 0);

    auto records = sim::Events();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].id, 0xC0020001u);
    EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"HexlornS", L"StartServiceCtrlDispatcher"}));
    auto dispatcher = sim::Calls("StartServiceCtrlDispatcherW");
    ASSERT_EQ(dispatcher.size(), 1u);
    EXPECT_EQ(dispatcher[0]["lpServiceStartTable[0].lpServiceName"], sim::Text(L"HexlornS"));
    EXPECT_EQ(sim::CallCount("RegisterServiceCtrlHandlerExW"), 0u);
    EXPECT_TRUE(sim::StatusReports().empty());
}

TEST_F(EntryTest, HelperWhoseStationEnumerationFailsWritesOneRecordAndExitsZero)
{
    sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", kCardA);
    sim::FailCall("EnumWindowStationsW");
    EXPECT_EQ(sim::RunProcess(kCardA, kConsoleSession), 0);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"EnumWindowStations")}));
    EXPECT_TRUE(sim::Deliveries().empty());
    EXPECT_EQ(sim::CallCount("StartServiceCtrlDispatcherW"), 0u);
}

TEST_F(EntryTest, HelperWhoseMessageRegistrationFailedStillSendsMessageZeroOncePerDesktop)
{
    // The failure goes unnoticed: the number 0 is sent as the message, to the
    // first window carrying the property on each desktop, and nothing is
    // recorded.
    sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", L"Unrelated");
    HWND first = sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", kCardA);
    sim::AddWindow(kConsoleSession, L"WinSta0", L"Default", kCardA);
    HWND logon = sim::AddWindow(kConsoleSession, L"WinSta0", L"Winlogon", kCardA);
    sim::FailCall("RegisterWindowMessageW");
    EXPECT_EQ(sim::RunProcess(kCardA, kConsoleSession), 0);

    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].window, first);
    EXPECT_EQ(deliveries[1].window, logon);
    for (const auto &send : sim::Calls("SendMessageTimeoutW")) {
        EXPECT_EQ(send["Msg"], sim::Message(0));
        EXPECT_EQ(send["wParam"], sim::Number(0));
        EXPECT_EQ(send["lParam"], sim::Number(0));
    }
    EXPECT_EQ(sim::CallCount("SendMessageTimeoutW"), 2u);
    EXPECT_TRUE(sim::Events().empty());
}

} // namespace
