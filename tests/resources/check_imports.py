#!/usr/bin/python3
"""Reads the import tables of shipped Windows programs and checks that Windows XP SP3 (and
POSReady 2009) can load them: every imported DLL is a system DLL, no imported function is one
that came after XP, nothing is imported by ordinal, and the PE header asks for no system later
than 5.1 (XP). Windows refuses to start a program that imports a function its DLL lacks.

Usage: check_imports.py PROGRAM.exe...
"""
import sys

from check_binary import SYSTEM_DLLS, Checks, Pe

XP = (5, 1)

# Functions that the system DLLs gained after Windows XP SP3, by DLL: those that a compiler's
# runtime, the C++ library or our own code could plausibly import.
NEWER_THAN_XP = {
    'kernel32.dll': {
        # Vista
        'GetTickCount64',
        'InitializeSRWLock', 'AcquireSRWLockExclusive', 'AcquireSRWLockShared',
        'ReleaseSRWLockExclusive', 'ReleaseSRWLockShared',
        'InitializeConditionVariable', 'SleepConditionVariableCS', 'SleepConditionVariableSRW',
        'WakeConditionVariable', 'WakeAllConditionVariable',
        'InitOnceInitialize', 'InitOnceExecuteOnce', 'InitOnceBeginInitialize',
        'InitOnceComplete',
        'FlsAlloc', 'FlsFree', 'FlsGetValue', 'FlsSetValue',
        'InitializeCriticalSectionEx', 'CreateEventExA', 'CreateEventExW', 'CreateMutexExA',
        'CreateMutexExW', 'CreateSemaphoreExW', 'CreateWaitableTimerExW',
        'CreateThreadpoolWork', 'SubmitThreadpoolWork', 'CloseThreadpoolWork',
        'CreateThreadpoolTimer', 'SetThreadpoolTimer', 'CloseThreadpoolTimer',
        'CreateThreadpoolWait', 'SetThreadpoolWait', 'CloseThreadpoolWait',
        'GetFinalPathNameByHandleA', 'GetFinalPathNameByHandleW', 'CreateSymbolicLinkA',
        'CreateSymbolicLinkW', 'GetFileInformationByHandleEx', 'SetFileInformationByHandle',
        'CancelIoEx', 'CancelSynchronousIo', 'GetQueuedCompletionStatusEx',
        'SetFileCompletionNotificationModes', 'ReOpenFile',
        'QueryFullProcessImageNameA', 'QueryFullProcessImageNameW', 'GetErrorMode',
        'GetCurrentProcessorNumber', 'GetThreadId', 'GetProcessIdOfThread',
        'SetThreadStackGuarantee', 'GetProductInfo',
        'CompareStringEx', 'LCMapStringEx', 'GetLocaleInfoEx', 'GetUserDefaultLocaleName',
        'GetSystemDefaultLocaleName', 'LocaleNameToLCID', 'LCIDToLocaleName', 'IsValidLocaleName',
        'EnumSystemLocalesEx', 'GetDateFormatEx', 'GetTimeFormatEx', 'GetNumberFormatEx',
        # Windows 7
        'TryAcquireSRWLockExclusive', 'TryAcquireSRWLockShared', 'SetThreadErrorMode',
        'GetThreadErrorMode', 'RaiseFailFastException', 'QueryUnbiasedInterruptTime',
        'GetActiveProcessorCount', 'GetLogicalProcessorInformationEx', 'ResolveLocaleName',
        # psapi's functions, which newer headers map to these unless PSAPI_VERSION is 1
        'K32GetModuleFileNameExW', 'K32GetModuleBaseNameW', 'K32EnumProcesses',
        'K32EnumProcessModules', 'K32GetProcessImageFileNameW',
        # Windows 8 and later
        'GetSystemTimePreciseAsFileTime', 'CreateFile2', 'WaitOnAddress', 'WakeByAddressSingle',
        'WakeByAddressAll', 'SetDefaultDllDirectories', 'AddDllDirectory', 'RemoveDllDirectory',
        'SetThreadDescription', 'GetThreadDescription',
    },
    'user32.dll': {
        # Vista
        'SetProcessDPIAware', 'IsProcessDPIAware', 'ChangeWindowMessageFilter',
        'AddClipboardFormatListener', 'RemoveClipboardFormatListener',
        'ShutdownBlockReasonCreate', 'ShutdownBlockReasonDestroy',
        'RegisterPowerSettingNotification', 'UnregisterPowerSettingNotification',
        'LogicalToPhysicalPoint', 'PhysicalToLogicalPoint',
        # Windows 7 and later
        'ChangeWindowMessageFilterEx', 'CalculatePopupWindowPosition', 'RegisterTouchWindow',
        'SetWindowDisplayAffinity', 'GetWindowDisplayAffinity',
        'SetProcessDpiAwarenessContext', 'SetThreadDpiAwarenessContext', 'GetDpiForWindow',
        'GetDpiForSystem', 'GetSystemMetricsForDpi', 'AdjustWindowRectExForDpi',
        'EnableNonClientDpiScaling',
    },
    'shell32.dll': {
        'SHGetKnownFolderPath', 'SHGetKnownFolderIDList', 'SHCreateItemFromParsingName',
        'SHCreateItemFromIDList', 'SHGetIDListFromObject', 'SHGetStockIconInfo',
        'SHOpenWithDialog', 'Shell_NotifyIconGetRect', 'SHGetPropertyStoreForWindow',
        'SetCurrentProcessExplicitAppUserModelID',
    },
    'advapi32.dll': {
        'RegGetValueA', 'RegGetValueW', 'RegDeleteTreeA', 'RegDeleteTreeW', 'RegSetKeyValueW',
        'RegCopyTreeW', 'RegDeleteKeyExW',
    },
    'ntdll.dll': {
        # Vista and later: what a file layer over the native calls could reach for
        'RtlDosPathNameToNtPathName_U_WithStatus',
        'RtlDosPathNameToRelativeNtPathName_U_WithStatus', 'NtQueryDirectoryFileEx',
    },
    # XP's msvcrt.dll has none of the bounds-checked "_s" functions nor the "_l" locale ones
    # (see newer_than_xp); these came with Vista's too.
    'msvcrt.dll': {
        '_get_errno', '_set_errno', '_get_invalid_parameter_handler',
        '_set_invalid_parameter_handler', '_wassert', '_get_output_format',
        '_set_output_format', '_create_locale', '_free_locale', '_get_current_locale',
        '_fseeki64', '_ftelli64',
    },
}


# Functions every shipped program (not the setup's plug-in, loaded by the setup) must import:
# SetDllDirectoryW (Windows XP SP1 and later) keeps the current folder, which the shop's users
# can write, out of the DLL search.
REQUIRED = {'kernel32.dll': {'SetDllDirectoryW'}}


def newer_than_xp(dll, function):
    if function in NEWER_THAN_XP.get(dll, ()):
        return True
    return dll == 'msvcrt.dll' and function.endswith(('_s', '_l'))


def check_program(c, path):
    pe = Pe(open(path, 'rb').read())
    imports = {dll.lower(): functions for dll, functions in pe.imported_functions().items()}
    for dll, functions in sorted(imports.items()):
        print('  %s: %s' % (dll, ', '.join(functions)))
    name = path.rsplit('/', 1)[-1]
    c.check(bool(imports) and set(imports) <= SYSTEM_DLLS, '%s imports only system DLLs' % name,
            ', '.join(sorted(set(imports) - SYSTEM_DLLS)))
    late = ['%s!%s' % (dll, f) for dll, functions in sorted(imports.items())
            for f in functions if newer_than_xp(dll, f)]
    c.check(not late, '%s imports no function newer than Windows XP' % name, ', '.join(late))
    required = REQUIRED if name.lower().endswith('.exe') else {}
    missing = ['%s!%s' % (dll, f) for dll, functions in sorted(required.items())
               for f in sorted(functions) if f not in imports.get(dll, ())]
    c.check(not missing, '%s imports what it must' % name, ', '.join(missing))
    by_ordinal = ['%s!%s' % (dll, f) for dll, functions in sorted(imports.items())
                  for f in functions if f.startswith('#')]
    c.check(not by_ordinal, '%s imports nothing by ordinal' % name, ', '.join(by_ordinal))
    for what, version in (('operating system', pe.os_version),
                          ('subsystem', pe.subsystem_version)):
        c.check(version <= XP, '%s asks for %s version 5.1 at most' % (name, what),
                '%d.%d' % version)


def main(paths):
    c = Checks()
    for path in paths:
        print(path)
        check_program(c, path)
    print('%d passed, %d failed' % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
