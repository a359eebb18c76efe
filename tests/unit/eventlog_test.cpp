// Event records: their fixed fields, the copy of the caller's text, and the
// event source opened and closed around every record.
#include "fixture.h"

#include "eventlog/eventlog.h"

using namespace testing_support;

namespace
{

class EventLogTest : public SimTest
{
};

void ExpectRecord(const sim::EventRecord &record, WORD type, DWORD id, const std::wstring &text)
{
    EXPECT_EQ(record.source, L"HexlornS");
    EXPECT_EQ(record.type, type);
    EXPECT_EQ(record.category, 0);
    EXPECT_EQ(record.id, id);
    EXPECT_FALSE(record.userSid);
    ASSERT_EQ(record.strings.size(), 2u);
    EXPECT_EQ(record.strings[0], L"HexlornS");
    EXPECT_EQ(record.strings[1], text);
    EXPECT_EQ(record.dataSize, 0u);
    EXPECT_FALSE(record.rawData);
}

// The register/report/deregister calls in the order they were made.
std::vector<std::string> SourceCalls()
{
    std::vector<std::string> out;
    for (const auto &call : sim::Calls()) {
        if (call.function == "RegisterEventSourceW" || call.function == "ReportEventW" ||
            call.function == "DeregisterEventSource") {
            out.push_back(call.function);
        }
    }
    return out;
}

TEST_F(EventLogTest, EveryRecordHasTheFixedFieldsAndItsOwnSource)
{
    // The catalog's IDs, all 32 bits, as the message table carries them.
    EXPECT_EQ(MSG_DEVICE_ARRIVAL, 0x40000002u);
    EXPECT_EQ(MSG_QUERY_REMOVE, 0x40000003u);
    EXPECT_EQ(MSG_QUERY_REMOVE_FAILED, 0x40000004u);
    EXPECT_EQ(MSG_REMOVE_COMPLETE, 0x40000005u);
    EXPECT_EQ(MSG_DEVICE_FOUND, 0x40000006u);
    EXPECT_EQ(MSG_ERROR, 0xC0020001u);

    const DWORD informational[] = {MSG_DEVICE_ARRIVAL, MSG_QUERY_REMOVE, MSG_QUERY_REMOVE_FAILED, MSG_REMOVE_COMPLETE,
                                   MSG_DEVICE_FOUND};
    for (DWORD id : informational) {
        ReportServiceEvent(kCardA, EVENTLOG_INFORMATION_TYPE, id);
    }
    ReportServiceEvent(L"OpenDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);

    auto records = sim::Events();
    ASSERT_EQ(records.size(), 6u);
    for (size_t i = 0; i < 5; ++i) {
        ExpectRecord(records[i], 4, informational[i], kCardA);
    }
    ExpectRecord(records[5], 1, 0xC0020001u, L"OpenDesktop");

    // One source per record, opened on the local computer under the service
    // name and closed before the next record.
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        expected.insert(expected.end(), {"RegisterEventSourceW", "ReportEventW", "DeregisterEventSource"});
    }
    EXPECT_EQ(SourceCalls(), expected);
    for (const auto &call : sim::Calls("RegisterEventSourceW")) {
        EXPECT_EQ(call["lpUNCServerName"], sim::Text(nullptr));
        EXPECT_EQ(call["lpSourceName"], sim::Text(L"HexlornS"));
    }
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::EventSource), 0u);
}

TEST_F(EventLogTest, TextIsCopiedVerbatimUpTo259Characters)
{
    const std::wstring exact(259, L'a');
    const std::wstring over = std::wstring(259, L'b') + L"c";
    const std::wstring far = std::wstring(259, L'd') + std::wstring(1000, L'e');
    // Format directives in the text are characters like any other.
    const std::wstring percents = L"%s %d %n %% %2 %ls 100%";
    // A directive that would be expanded lands beyond the cut.
    const std::wstring percentAtCut = std::wstring(258, L'x') + L"%%";

    for (const auto &text : {exact, over, far, std::wstring(), percents, percentAtCut}) {
        ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE, MSG_ERROR);
    }

    auto texts = sim::EventTexts();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[0], exact);
    EXPECT_EQ(texts[1], std::wstring(259, L'b'));
    EXPECT_EQ(texts[2], std::wstring(259, L'd'));
    EXPECT_EQ(texts[3], L"");
    EXPECT_EQ(texts[4], percents);
    EXPECT_EQ(texts[5], std::wstring(258, L'x') + L"%");
    // Cut records are written all the same, with both strings.
    for (const auto &record : sim::Events()) {
        EXPECT_EQ(record.strings.size(), 2u);
        EXPECT_EQ(record.strings[0], L"HexlornS");
    }
}

TEST_F(EventLogTest, AFailingSourceLosesOnlyItsOwnRecordAndAFailedWriteStillClosesIt)
{
    sim::FailCall("ReportEventW", 2);
    sim::FailCall("RegisterEventSourceW", 3);
    ReportServiceEvent(L"first", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    ReportServiceEvent(L"unwritten", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    ReportServiceEvent(L"lost", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    ReportServiceEvent(L"third", EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_FOUND);

    EXPECT_EQ(sim::EventTexts(), (std::vector<std::wstring>{L"first", L"third"}));
    // Nothing is reported or deregistered for the source that was never given.
    // A write that fails still gives its source back.
    EXPECT_EQ(SourceCalls(), (std::vector<std::string>{"RegisterEventSourceW", "ReportEventW", "DeregisterEventSource",
                                                       "RegisterEventSourceW", "ReportEventW", "DeregisterEventSource",
                                                       "RegisterEventSourceW", "RegisterEventSourceW", "ReportEventW",
                                                       "DeregisterEventSource"}));
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::EventSource), 0u);
}

TEST_F(EventLogTest, CallerPathsDoNotDependOnTheEventLog)
{
    // A helper whose records are all lost walks exactly as one whose records
    // are written: the desktop it cannot open is skipped, the others visited.
    sim::FailCall("RegisterEventSourceW");
    sim::AddDesktop(1, L"WinSta0", L"Locked");
    sim::SetDesktopOpenFails(1, L"WinSta0", L"Locked", true);
    HWND first = sim::AddWindow(1, L"WinSta0", L"Default", kCardA);
    HWND last = sim::AddWindow(1, L"WinSta0", L"Last", kCardA);

    EXPECT_EQ(sim::RunProcess(kCardA, 1), 0);

    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(sim::CallCount("RegisterEventSourceW"), 1u);
    EXPECT_EQ(sim::CallCount("ReportEventW"), 0u);
    auto deliveries = sim::Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].window, first);
    EXPECT_EQ(deliveries[1].window, last);
    EXPECT_EQ(sim::OpenHandleCount(sim::Kind::Desktop), 0u);
}

} // namespace
