// The exported functions of CrashRpt.dll.
#include <windows.h>

#include "crashrpt/crashrpt.h"
#include "crashrpt/reporter.h"

using CrashRpt::CReporter;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}

extern "C" void* __cdecl Install(CrashCallback callback, const wchar_t* host, const wchar_t* account,
                                 const wchar_t* password, const wchar_t* version)
{
    CReporter& reporter = CReporter::Instance();
    return reporter.Install(callback, host, account, password, version) ? &reporter : nullptr;
}

extern "C" void __cdecl Uninstall(void* handle)
{
    CReporter& reporter = CReporter::Instance();
    if (handle == &reporter && reporter.IsInstalled())
        reporter.Uninstall();
}

extern "C" BOOL __cdecl RecordLog(void* report, const wchar_t* text)
{
    CrashRpt::ReportContext* context = CReporter::Instance().OpenContext(report);
    return context != nullptr && text != nullptr && CrashRpt::AppendToLog(*context, text) ? TRUE : FALSE;
}

extern "C" BOOL __cdecl AddFile(void* report, const wchar_t* path, const wchar_t* description)
{
    CrashRpt::ReportContext* context = CReporter::Instance().OpenContext(report);
    return context != nullptr && path != nullptr && path[0] != L'\0' &&
                   CrashRpt::AttachFile(*context, path, description != nullptr ? description : L"")
               ? TRUE
               : FALSE;
}
