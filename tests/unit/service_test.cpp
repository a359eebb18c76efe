// Status reports, the control handler and the life of the service process.
#include "fixture.h"

using namespace testing_support;

namespace
{

class ServiceTest : public SimTest
{
};

void ExpectStatus(const SERVICE_STATUS &s, DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint)
{
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwCurrentState, state);
    EXPECT_EQ(s.dwControlsAccepted, accepted);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, checkPoint);
    EXPECT_EQ(s.dwWaitHint, waitHint);
}

TEST_F(ServiceTest, FreshServiceRunsAndStopsWithTheExactReports)
{
    ServiceProcess service;
    ASSERT_TRUE(service.StartRunning());
    service.Stop();
    EXPECT_EQ(service.exitCode, 0);

    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStatus(reports[0], SERVICE_START_PENDING, 0, 1, 3000);
    ExpectStatus(reports[1], SERVICE_RUNNING, 0x81, 0, 0);
    ExpectStatus(reports[2], SERVICE_STOP_PENDING, 0x81, 2, 0);
    ExpectStatus(reports[3], SERVICE_STOPPED, 0x81, 0, 0);
    EXPECT_TRUE(sim::Events().empty());
    // Only the stop event is left, by design, until the process ends.
    auto open = sim::OpenHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].kind, sim::Kind::Event);
}

} // namespace
