// The Java runtime's process class for the Wine tests that call createProcessIn,
// played in a JNI test host, and the current directory as the platform reports it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "jnihost.h"
#include "wineutil.h"

namespace wineutil {

constexpr char kProcessClass[] = "java/lang/Win32Process";
constexpr char kProcessConstructor[] = "([Ljava/lang/String;[Ljava/lang/String;)V";

// Defines java/lang/Win32Process in host: its (String[], String[]) constructor
// starts the command with a raw CreateProcessW and no directory argument, so the
// process starts in the current directory of the moment, as the runtime's own
// does, and stores the process handle in the long field "handle". A process
// that cannot be started raises IOException. Every child is kept in started,
// which ends each by id when cleared; onStart, if set, sees each new child's id.
inline void definePlatformProcessClass(jnihost::JniHost& host, std::vector<Child>& started,
                                       std::function<void(DWORD)> onStart = nullptr) {
    jnihost::JniHost* h = &host;
    host.defineClass(kProcessClass, {{"handle", "J"}});
    host.defineConstructor(kProcessClass, kProcessConstructor,
                           [h, &started, onStart](jobject self, const std::vector<jvalue>& args) {
                               std::vector<std::wstring> command;
                               for (jobject e : h->elements(static_cast<jobjectArray>(args.at(0).l))) {
                                   const std::u16string t = h->text(static_cast<jstring>(e));
                                   command.emplace_back(t.begin(), t.end());
                               }
                               Child child = startChild(commandLine(command));
                               if (!child.started()) {
                                   h->throwNew("java/io/IOException",
                                               ("CreateProcess error=" + std::to_string(child.error())).c_str());
                                   return;
                               }
                               if (onStart) onStart(child.pid());
                               jvalue handle;
                               handle.j = static_cast<jlong>(reinterpret_cast<ULONG_PTR>(child.handle()));
                               h->setField(self, "handle", handle);
                               started.push_back(std::move(child));
                           });
}

// The current directory, whole, however long; empty when it cannot be read.
inline std::wstring currentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(needed, L'\0');
    const DWORD n = needed ? GetCurrentDirectoryW(needed, &dir[0]) : 0;
    dir.resize(n < needed ? n : 0);
    return dir;
}

// The platform's own spelling of dir once made current from cwd; the current
// directory is left as it was.
inline std::wstring asCurrentFrom(const std::wstring& cwd, const std::wstring& dir) {
    const std::wstring saved = currentDirectory();
    std::wstring out;
    if (SetCurrentDirectoryW(cwd.c_str()) && SetCurrentDirectoryW(dir.c_str())) out = currentDirectory();
    SetCurrentDirectoryW(saved.c_str());
    return out;
}

}  // namespace wineutil
