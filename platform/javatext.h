// Texts between the Java VM and Windows, as text: a Java string's UTF-16
// characters go to Windows' wide functions, and Windows' UTF-16 text comes back
// through NewString. Nothing is reinterpreted through a code page on the way, so
// any character a Java string can hold reaches Windows intact, except U+0000,
// which no Windows text can hold: such a string is refused (EmbeddedNul).
#pragma once

#include <jni.h>
#include <string.h>
#include <windows.h>

namespace rw {

enum class TextStatus {
    Ok,
    Null,         // the reference was null: nothing was asked of the VM
    VmFailure,    // the VM could not supply the characters; its exception is pending
    NoMemory,     // the copy could not be allocated
    EmbeddedNul,  // the string holds U+0000
};

// A heap copy of a Java string's UTF-16 text, with `terminators` zero
// characters appended (two for an environment block of one entry). Owned and
// released by this object; the VM's characters are released at once.
class JavaText {
public:
    JavaText(JNIEnv* env, jstring s, int terminators = 1) {
        if (!s) return;
        const jsize n = env->GetStringLength(s);
        if (n < 0 || static_cast<SIZE_T>(n) > 0x3FFFFFF0u) {  // no such copy fits a 32-bit address space
            status_ = TextStatus::NoMemory;
            return;
        }
        text_ = static_cast<WCHAR*>(
            HeapAlloc(GetProcessHeap(), 0, (static_cast<SIZE_T>(n) + static_cast<SIZE_T>(terminators)) * sizeof(WCHAR)));
        if (!text_) {
            status_ = TextStatus::NoMemory;
            return;
        }
        const jchar* chars = env->GetStringChars(s, nullptr);
        if (!chars) {
            release();
            status_ = TextStatus::VmFailure;
            return;
        }
        memcpy(text_, chars, static_cast<size_t>(n) * sizeof(WCHAR));
        env->ReleaseStringChars(s, chars);
        for (jsize i = 0; i < n; ++i) {
            if (text_[i] == 0) {
                release();
                status_ = TextStatus::EmbeddedNul;
                return;
            }
        }
        for (int k = 0; k < terminators; ++k) text_[n + k] = 0;
        length_ = static_cast<size_t>(n);
        status_ = TextStatus::Ok;
    }
    ~JavaText() { release(); }
    JavaText(const JavaText&) = delete;
    JavaText& operator=(const JavaText&) = delete;

    TextStatus status() const { return status_; }
    bool ok() const { return status_ == TextStatus::Ok; }
    // Ok or Null: what a caller that accepts a null string can go on with.
    bool usable() const { return status_ == TextStatus::Ok || status_ == TextStatus::Null; }
    WCHAR* get() const { return text_; }  // null unless ok()
    size_t length() const { return length_; }

private:
    void release() {
        if (text_) HeapFree(GetProcessHeap(), 0, text_);
        text_ = nullptr;
    }

    WCHAR* text_ = nullptr;
    size_t length_ = 0;
    TextStatus status_ = TextStatus::Null;
};

inline size_t textLength(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// A new Java string of a Windows UTF-16 text; null with the VM's exception
// pending when it cannot be made.
inline jstring newJavaString(JNIEnv* env, const WCHAR* text) {
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(textLength(text)));
}

}  // namespace rw
