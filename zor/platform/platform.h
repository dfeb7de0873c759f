// The platform layer's interface to the rest of the library.
//
// Everything above this layer (device core, devices, remote access, monitor)
// calls only what is declared here and in the public headers; POSIX and Linux
// headers are included by the files of zor/platform/ alone (and by the
// program's own OS files, zor/host/os/, which are no part of the library).
//
// A HANDLE names an event, held in one handle table (handle.h); no medium
// has one. A medium is a Transport (transport.h), one implementation per
// medium in its own file of this folder, reached by name through the row
// table of transport_openers.cpp.
#pragma once

#include <zor/fdwait.h>
#include <zor/platform.h>
#include <zor/ports.h>
#include <zor/settings.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zor {

// Win32 code for a POSIX errno: one table for the whole library.
DWORD win32ErrorFromErrno(int err);
// The same for errors of socket calls (WSAE... codes).
DWORD socketErrorFromErrno(int err);

// The settings file. A missing file reads as empty; false only when it exists
// and cannot be read or is no regular file (then *problem, when given, says
// why: "is a FIFO, not a regular file", ...).
bool readSettingsFile(const std::string& path, std::string& contents, std::string* problem = nullptr);
// Replaces the file with what edit makes of its current contents, under an
// exclusive advisory lock on "<path>.lock" and by rename of a complete
// temporary file, so concurrent writers lose nothing and readers never see a
// partial file. Creates missing folders. edit returning false writes nothing;
// a file that exists but cannot be read, or is no regular file, is left alone.
// A symbolic link is followed: its final target is replaced, in its folder.
bool updateSettingsFile(const std::string& path, const std::function<bool(std::string&)>& edit);

// Called by each worker thread as it starts: worker loops pace themselves in
// whole milliseconds, so their timed waits should not be stretched by the
// kernel's default timer slack.
void prepareWorkerThread();

// Debugger output: one line to standard error.
void OutputDebugStringA(const char* text);

// Sets (value non-null) or removes (null) a variable of this process's
// environment, e.g. ZOR_CONFIG before the settings store is next used.
BOOL SetEnvironmentVariableA(const char* name, const char* value);

}  // namespace zor
