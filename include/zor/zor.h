// zor: one byte-stream interface to instruments, whatever the medium.
#pragma once

#include <zor/app.h>
#include <zor/device.h>
#include <zor/devnet.h>
#include <zor/devnull.h>
#include <zor/devplayback.h>
#include <zor/devrfc2217.h>
#include <zor/devrs232.h>
#include <zor/devtcp.h>
#include <zor/devusb.h>
#include <zor/fdwait.h>
#include <zor/hostserver.h>
#include <zor/monitor.h>
#include <zor/platform.h>
#include <zor/ports.h>
#include <zor/ptybridge.h>
#include <zor/settings.h>
#include <zor/strings.h>
#include <zor/usblist.h>
