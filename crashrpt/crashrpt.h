/* CrashRpt.dll: the crash reporter the client links against.
 *
 * Install hooks unhandled exceptions of the whole process. On a crash the
 * reporter calls the callback with a report context, which it may fill with
 * RecordLog and AddFile; it then writes a minidump, the log and copies of
 * the attached files into a report folder under the user's local
 * application data ("Tavo\Tessel\CrashReports") and posts the report to the
 * crash-report host. A report that cannot be sent is sent by the next
 * Install. Nothing is shown to the user.
 */
#ifndef TAVO_CRASHRPT_H
#define TAVO_CRASHRPT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the reporter's own thread while a report is built; report is
 * the context for RecordLog and AddFile, valid only during the call.
 * TRUE lets the report go ahead, FALSE drops it. */
typedef BOOL(__cdecl* CrashCallback)(void* report);

/* host is "name", "name:port" or "[address]:port" (port 80 when none is
 * given); account and password are sent with every report. version is the
 * text that names the build in each report. NULL when the reporter cannot
 * be installed, or is installed already. */
void* __cdecl Install(CrashCallback callback, const wchar_t* host, const wchar_t* account, const wchar_t* password,
                      const wchar_t* version);

/* Removes the reporter that Install returned; any other value is ignored. */
void __cdecl Uninstall(void* reporter);

/* Appends text to the report's log. FALSE outside a callback or for a
 * context that is not one. */
BOOL __cdecl RecordLog(void* report, const wchar_t* text);

/* Copies the file into the report, named in the log with its description.
 * FALSE outside a callback, for a file that cannot be copied, or once the
 * report holds as many files as it can. */
BOOL __cdecl AddFile(void* report, const wchar_t* path, const wchar_t* description);

#ifdef __cplusplus
}
#endif

#endif
