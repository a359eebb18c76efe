#include "fixture.h"

namespace testing_support
{

void SimTest::SetUp()
{
    FreshMachine();
}

void SimTest::TearDown()
{
    // Whatever a test did, each record pairs its type with its ID as the
    // catalog means them: an error is MSG_ERROR, information one of the five
    // card messages.
    for (const auto &record : sim::Events()) {
        bool error = record.type == EVENTLOG_ERROR_TYPE && record.id == 0xC0020001u;
        bool information =
            record.type == EVENTLOG_INFORMATION_TYPE && record.id >= 0x40000002u && record.id <= 0x40000006u;
        if (!error && !information) {
            ADD_FAILURE() << "record " << sim::Render(sim::EventType(record.type)) << " with ID "
                          << sim::Render(sim::Hex(record.id)) << ": "
                          << sim::Ascii(record.strings.size() > 1 ? record.strings[1] : L"");
        }
    }
    for (const auto &fault : sim::HangFaults()) {
        ADD_FAILURE() << "hang: " << fault;
    }
    for (const auto &fault : sim::HandleFaults()) {
        ADD_FAILURE() << "handle fault: " << fault;
    }
    for (const auto &call : sim::CallsAfterStopped()) {
        ADD_FAILURE() << call;
    }
    sim::Reset();
    ResetProcessState();
}

void ServiceProcessTest::TearDown()
{
    EXPECT_TRUE(service_.Stop()) << "the service process did not end"; // before the machine is reset
    SimTest::TearDown();
}

bool StartWithCardA(ServiceProcess &service)
{
    AddCard(kCardA);
    return service.StartRunning();
}

bool StartWithCardsAB(ServiceProcess &service)
{
    AddCard(kCardA);
    AddCard(kCardB);
    return service.StartRunning();
}

} // namespace testing_support
