// The unit tests' fixtures: a fresh machine and service process for every test
// (tests/support), and the checks every test ends with.
#pragma once

#include <gtest/gtest.h>

#include "../support/support.h"

namespace testing_support
{

class SimTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A SimTest with a service process of its own, stopped before the machine is
// reset.
class ServiceProcessTest : public SimTest
{
  protected:
    void TearDown() override;
    ServiceProcess service_;
};

// The service started with card A present (and card B with the second), on
// the default machine; false when it never reported running.
bool StartWithCardA(ServiceProcess &service);
bool StartWithCardsAB(ServiceProcess &service);

} // namespace testing_support
