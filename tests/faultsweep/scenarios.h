// The service's life, told as scenarios for the fault sweep: each sets up a
// machine and drives the service (or one helper) through it.
#pragma once

#include <vector>

#include "driver.h"

namespace faultsweep
{

std::vector<Scenario> Scenarios();

} // namespace faultsweep
