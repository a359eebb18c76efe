// Process entry: how the first command-line word is built and which mode it
// selects, and what each mode does when its one Windows call fails.
#include "fixture.h"

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
    // The name GetPropW was asked for, as the call log spells it.
    std::string propertyName;
};

// Runs the entry point with `commandLine` as a fresh process of session 1
// that was not started by the service control manager, on a thread of its
// own, on a fresh simulated Windows whose one desktop holds one window.
Outcome RunCase(const std::wstring &commandLine)
{
    ResetSimAndProcess();
    sim::SetStartedByScm(false);
    sim::AddWindow(1, L"WinSta0", L"Default", L"Unrelated");
    DWORD process = sim::NewProcess(1);
    Outcome outcome;
    std::thread thread([&] { outcome.exitCode = sim::RunMain(commandLine, process); });
    thread.join();

    outcome.serviceMode = sim::CallCount("StartServiceCtrlDispatcherW") == 1;
    outcome.helperMode = sim::CallCount("EnumWindowStationsW") == 1;
    auto props = sim::Calls("GetPropW");
    if (props.size() == 1) {
        const std::string &args = props[0].args;
        size_t open = args.find('"');
        outcome.propertyName = args.substr(open + 1, args.rfind('"') - open - 1);
    }
    EXPECT_TRUE(sim::HandleFaults().empty()) << Ascii(commandLine);
    EXPECT_TRUE(sim::OpenHandles().empty());
    return outcome;
}

TEST_F(EntryTest, FirstWordFollowsTheRuntimeRules)
{
    const std::wstring module = L"C:\\Program Files\\HexlornS\\HexlornS.exe";
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
        SCOPED_TRACE(Ascii(c.second));
        EXPECT_TRUE(outcome.helperMode);
        EXPECT_FALSE(outcome.serviceMode);
        EXPECT_EQ(outcome.propertyName, Ascii(c.second));
        EXPECT_EQ(outcome.exitCode, 0);
        // The message is registered once, before the walk, by its name.
        auto registrations = sim::Calls("RegisterWindowMessageW");
        ASSERT_EQ(registrations.size(), 1u);
        EXPECT_EQ(registrations[0].args, "\"ForceClose\"");
        EXPECT_LT(sim::FindCall("RegisterWindowMessageW"), sim::FindCall("EnumWindowStationsW"));
        EXPECT_TRUE(sim::Events().empty());
    }
}

TEST_F(EntryTest, EveryOtherWordSelectsTheService)
{
    const std::wstring cases[] = {
        L"PC",
        L"P",
        L"p",
        L"\"\" PCI",                                  // empty first word
        L" PCI\\VEN_1412&DEV_1724",                   // leading blank: empty first word
        L"\tpci",                                     // leading tab
        L"",                                          // the module path stands in
        L"C:\\Program Files\\HexlornS\\HexlornS.exe", // cut at its first blank
        L"\"C:\\Program Files\\HexlornS\\HexlornS.exe\" PCI\\VEN_1412",
        L"PC\x0130\\VEN_1412", // dotted capital I
        L"pc\x0131",           // dotless small i
        L"PC\xFF29",           // full-width I
        L"pc\xFF49",           // full-width i
        L"P\x0421I",           // Cyrillic Es for C
        L"xPCI",
        L"PC I",
    };
    for (const auto &commandLine : cases) {
        Outcome outcome = RunCase(commandLine);
        SCOPED_TRACE(Ascii(commandLine));
        EXPECT_TRUE(outcome.serviceMode);
        EXPECT_FALSE(outcome.helperMode);
        EXPECT_EQ(sim::CallCount("RegisterWindowMessageW"), 0u);
        EXPECT_EQ(outcome.exitCode, 0);
        // Not started by the control manager: one record, nothing else.
        EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"StartServiceCtrlDispatcher")}));
    }
}

TEST_F(EntryTest, FromACommandPromptTheServiceWritesOneRecordAndExitsZero)
{
    sim::SetStartedByScm(false);
    ServiceProcess service;
    service.Start(L"\"C:\\Program Files\\HexlornS\\HexlornS.exe\"");
    service.Join();
    EXPECT_EQ(service.exitCode, 0);

    auto records = sim::Events();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].id, 0xC0020001u);
    EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"HexlornS", L"StartServiceCtrlDispatcher"}));
    EXPECT_EQ(sim::Calls("StartServiceCtrlDispatcherW")[0].args, "\"HexlornS\"");
    EXPECT_EQ(sim::CallCount("RegisterServiceCtrlHandlerExW"), 0u);
    EXPECT_TRUE(sim::StatusReports().empty());
}

TEST_F(EntryTest, HelperWhoseStationEnumerationFailsWritesOneRecordAndExitsZero)
{
    sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
    sim::FailCall("EnumWindowStationsW");
    EXPECT_EQ(sim::RunProcess(kCardA, 1), 0);
    EXPECT_EQ(RecordLines(), (std::vector<std::wstring>{Line(MSG_ERROR, L"EnumWindowStations")}));
    EXPECT_EQ(sim::Events()[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(sim::Deliveries().empty());
    EXPECT_EQ(sim::CallCount("StartServiceCtrlDispatcherW"), 0u);
}

} // namespace
