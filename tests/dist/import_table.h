/* The import-library symbols of runwarden.dll that a C caller (MinGW or Visual
 * C++) links against, each with the export that its import address table slot
 * must be bound to. X(variable, "__imp_ symbol", "export name").
 *
 * RUNWARDEN_C_IMPORTS: in both import libraries; the stdcall functions as
 * _Name@N, the C helpers under their plain names, and the three aliases
 * (numberOfChilds, JNU_GetFieldByName@20, Win32Ext_GetProcessInformation@8)
 * that map C names onto exports of other names.
 * RUNWARDEN_MSVC_IMPORTS: in runwarden.lib only; the Visual C++ names. */
#ifndef RUNWARDEN_TESTS_IMPORT_TABLE_H
#define RUNWARDEN_TESTS_IMPORT_TABLE_H

#define RUNWARDEN_NATIVE_IMPORT(X, var, name, bytes) \
    X(var, "__imp__Java_com_velmora_util_exec_ScriptProcessManager_" name "@" bytes, \
      "_Java_com_velmora_util_exec_ScriptProcessManager_" name "@" bytes)
#define RUNWARDEN_STDCALL_IMPORT(X, var, name, bytes) X(var, "__imp__" name "@" bytes, "_" name "@" bytes)

#define RUNWARDEN_C_IMPORTS(X)                                                                \
    RUNWARDEN_NATIVE_IMPORT(X, natInit, "init", "8")                                          \
    RUNWARDEN_NATIVE_IMPORT(X, natExecute, "executeProcess", "24")                            \
    RUNWARDEN_NATIVE_IMPORT(X, natKill, "killProcess", "12")                                  \
    RUNWARDEN_NATIVE_IMPORT(X, natKillAll, "killAllChildren", "12")                           \
    RUNWARDEN_NATIVE_IMPORT(X, natCount, "childProcessesCount", "12")                         \
    RUNWARDEN_NATIVE_IMPORT(X, natPid, "getPID", "12")                                        \
    RUNWARDEN_NATIVE_IMPORT(X, natCpu, "getCPUUsage", "8")                                    \
    X(impExecute, "__imp__executeProcess", "executeProcess")                                  \
    X(impKill, "__imp__killProcess", "killProcess")                                           \
    X(impIsMyChild, "__imp__isMyChild", "isMyChild")                                          \
    X(impKillAll, "__imp__killAllChild", "killAllChild")                                      \
    X(impNumberOfChilds, "__imp__numberOfChilds", "?numberOfChilds@@YAKK@Z")                  \
    X(impGetField, "__imp__JNU_GetFieldByName@20",                                            \
      "?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z")                 \
    X(impInfoAlias, "__imp__Win32Ext_GetProcessInformation@8", "_GetProcessInformation@8")    \
    RUNWARDEN_STDCALL_IMPORT(X, impVersion, "Win32Ext_VersionOK", "0")                        \
    RUNWARDEN_STDCALL_IMPORT(X, impInfo, "GetProcessInformation", "8")                        \
    RUNWARDEN_STDCALL_IMPORT(X, impName, "GetProcessModuleName", "12")                        \
    RUNWARDEN_STDCALL_IMPORT(X, impParent, "GetParentProcessId", "8")                         \
    RUNWARDEN_STDCALL_IMPORT(X, impChildren, "GetChildProcesses", "16")                       \
    RUNWARDEN_STDCALL_IMPORT(X, impCount, "GetNumberOfProcesses", "4")                        \
    RUNWARDEN_STDCALL_IMPORT(X, impThreadHandles, "GetProcessThreadHandles", "16")            \
    RUNWARDEN_STDCALL_IMPORT(X, impHandle, "GetProcessHandle", "8")                           \
    RUNWARDEN_STDCALL_IMPORT(X, impThreadIds, "GetProcessThreadIds", "16")                    \
    RUNWARDEN_STDCALL_IMPORT(X, impCommit, "GetProcessCommitCharge", "8")                     \
    RUNWARDEN_STDCALL_IMPORT(X, impCreated, "GetProcessCreationTime", "8")                    \
    RUNWARDEN_STDCALL_IMPORT(X, impUser, "GetProcessUserTime", "8")                           \
    RUNWARDEN_STDCALL_IMPORT(X, impKernel, "GetProcessKernelTime", "8")                       \
    RUNWARDEN_STDCALL_IMPORT(X, impPriority, "GetProcessBasePriority", "8")                   \
    RUNWARDEN_STDCALL_IMPORT(X, impId, "GetProcessID", "8")                                   \
    RUNWARDEN_STDCALL_IMPORT(X, impCpu, "GetCPUUsage", "4")

#define RUNWARDEN_MSVC_IMPORTS(X)                                                             \
    X(impNumberOfChildsMsvc, "__imp_?numberOfChilds@@YAKK@Z", "?numberOfChilds@@YAKK@Z")      \
    X(impGetFieldMsvc, "__imp_?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z", \
      "?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z")

#endif
