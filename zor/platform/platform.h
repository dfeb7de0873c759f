// The platform layer's interface to the rest of the library.
//
// Everything above this layer (device core, devices, remote access, monitor,
// host) calls only what is declared here and in <zor/platform.h>; POSIX and
// Linux headers are included by the files of zor/platform/ alone.
//
// A HANDLE names a kernel-like object held in one handle table (handle.h). A
// medium still on handles (file, tty, local socket, TCP socket) is one subclass of
// HandleObject in one file of this folder, listed in CreateFileA's table of
// openers (file.cpp) when it is reached by name.
#pragma once

#include <zor/platform.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zor {

// Files and devices.
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ovl);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ovl);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ovl, DWORD* transferred, BOOL wait);
BOOL CancelIo(HANDLE h);
BOOL FlushFileBuffers(HANDLE h);
// Size of a regular file; ERROR_INVALID_FUNCTION for anything else (a FIFO, a device).
BOOL GetFileSizeEx(HANDLE h, long long* size);
// As WaitForMultipleObjects (any one of the events), and also ends, with
// WAIT_OBJECT_0 + count, once input can be read without waiting: data, the
// end of the data or an error is there. The calling thread waits for the
// descriptor itself (the reactor's direct wait), so no second thread stands
// between the data and it. WAIT_FAILED with ERROR_INVALID_FUNCTION when input
// has nothing to wait on (a regular file is always readable).
DWORD WaitForMultipleObjectsOrInput(DWORD count, const HANDLE* events, HANDLE input, DWORD milliseconds);
// The same on a descriptor (a transport's readableDescriptor()), which the
// caller keeps open for the whole wait; WAIT_FAILED when input is -1.
DWORD WaitForMultipleObjectsOrDescriptor(DWORD count, const HANDLE* events, int input, DWORD milliseconds);

// Read and write time-outs of a communications handle. Only ttys have them:
// on other handles GetCommTimeouts fails, which is how the channel tells them apart.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts);

// Local pipes "\\HOST\PIPE\NAME" (pipe_transport.h): CreateFileA opens a
// client end. Waits, bounded, until a local pipe server can take a connection
// (0: a pipe's default time-out, 50 ms). ERROR_FILE_NOT_FOUND at once when
// there is no server.
BOOL WaitNamedPipeA(const char* name, DWORD milliseconds);

// Win32 code for a POSIX errno: one table for the whole library.
DWORD win32ErrorFromErrno(int err);
// The same for errors of socket calls (WSAE... codes).
DWORD socketErrorFromErrno(int err);

// Per-user places: the settings file ($ZOR_CONFIG, else $XDG_CONFIG_HOME/zor/zor.ini,
// else ~/.config/zor/zor.ini) and the folder of "COMn" links beside it.
std::string settingsFilePath();
std::string portLinkFolder();
// Device path a "COMn" name stands for: ports/COMn's target, else /dev/ttyS<n-1>.
// Empty when name is not of that form.
std::string resolveComName(const char* name);

// What serial port COM<n> maps to, for listing the ports ("zor ports").
struct ComPortInfo {
  int number = 0;
  std::string target;   // the path COMn resolves to: the link's target, else /dev/ttyS<n-1>
  std::string tty;      // that path with every link resolved; empty when it does not exist
  bool linked = false;  // named by the link ports/COMn
  std::string link;     // the link's path
  // A USB adapter: what sysfs says of the USB device above the tty.
  bool usb = false;
  std::string vendorId, productId, serial, manufacturer, product;
};
// sysRoot: where sysfs is mounted (tests give a tree of their own).
ComPortInfo describeComPort(int n, const std::string& sysRoot = "/sys");
// The same for a tty path of no COM number (number 0, not linked).
ComPortInfo describeTty(const std::string& path, const std::string& sysRoot = "/sys");
// The COM numbers that have a link in portLinkFolder(), ascending.
std::vector<int> linkedComNumbers();
// The ttys (as /dev paths) whose device sits under a USB device: the USB
// serial adapters of the machine, sorted.
std::vector<std::string> usbSerialTtys(const std::string& sysRoot = "/sys");

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
