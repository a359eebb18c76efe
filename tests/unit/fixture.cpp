#include "fixture.h"

namespace testing_support
{

void SimTest::SetUp()
{
    FreshMachine();
}

void SimTest::TearDown()
{
    for (const auto &fault : sim::HangFaults()) {
        ADD_FAILURE() << "hang: " << fault;
    }
    for (const auto &fault : sim::HandleFaults()) {
        ADD_FAILURE() << "handle fault: " << fault;
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
