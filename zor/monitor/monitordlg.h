// The traffic monitor's class is public (CDevice::Monitor() hands it out);
// the device core includes it from here.
#pragma once

#include <zor/device.h>
#include <zor/monitor.h>
