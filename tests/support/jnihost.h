// A small JNI host for tests: a JNIEnv whose function table is implemented here,
// so that the natives run without a Java VM (on host32, and under Wine against
// real processes). It offers what the natives use: strings (modified UTF-8 and
// UTF-16), object arrays, classes with instance fields, constructors backed by
// C++ callbacks, exceptions, local references; and it fails on request.
//
// One JniHost per test; it is not thread-safe except where noted. Separate
// hosts may be used on separate threads at once, as each VM thread has its own
// JNIEnv.
#pragma once

#include <jni.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace jnihost {

// A field value as the host stores it; the JNI type comes from the signature.
struct FieldSpec {
    std::string name;
    std::string signature;  // "I", "J", "B", "C", "D", "F", "S", "Z", "Ljava/lang/Object;", "[I"...
};

// Runs for NewObjectV on a class defined with a constructor: receives the new
// object and the arguments (already read from the va_list as jvalues, one per
// parameter of the constructor's signature). May raise an exception through
// the host (throwNew) to make the construction fail.
using Constructor = std::function<void(jobject self, const std::vector<jvalue>& args)>;

struct Failures {
    bool getStringUTFChars = false;  // GetStringUTFChars gives null (OutOfMemoryError pending)
    bool getStringChars = false;     // GetStringChars / GetStringCritical give null (OutOfMemoryError pending)
    bool newStringUTF = false;       // NewStringUTF gives null (OutOfMemoryError pending)
    bool newString = false;          // NewString gives null (OutOfMemoryError pending)
    bool newObjectArray = false;     // NewObjectArray gives null (OutOfMemoryError pending)
    bool findClass = false;          // FindClass gives null (NoClassDefFoundError pending)
    // GetFieldID accepts any signature whose field name exists, so that a
    // signature the VM would reject can reach the caller's type switch.
    bool acceptAnySignature = false;
    // >= 0: GetStringUTFChars succeeds that many more times, then gives null
    // (OutOfMemoryError pending) on every later call, as getStringUTFChars does.
    int getStringUTFCharsFailAfter = -1;
};

class JniHost {
public:
    JniHost();
    ~JniHost();
    JniHost(const JniHost&) = delete;
    JniHost& operator=(const JniHost&) = delete;

    JNIEnv* env();
    Failures& failures();

    // --- strings ---
    jstring newString(const std::u16string& text);       // any UTF-16, U+0000 included
    jstring newStringUtf8(const std::string& standardUtf8);
    std::u16string text(jstring s) const;                 // the string's UTF-16
    std::string utf8(jstring s) const;                    // standard UTF-8 of it
    // Modified UTF-8 of a UTF-16 text, as GetStringUTFChars gives it.
    static std::string modifiedUtf8(const std::u16string& text);

    // --- classes and objects ---
    // Defines (or returns) a class by its slash-separated name, e.g.
    // "java/lang/Win32Process". Standard classes that natives look up
    // ("java/lang/String", the exception classes) are predefined.
    jclass defineClass(const std::string& name, const std::vector<FieldSpec>& fields = {});
    // The constructor that NewObjectV runs for the given signature.
    void defineConstructor(const std::string& className, const std::string& signature, Constructor ctor);
    jobject newObject(const std::string& className);
    // Makes superName (defined if need be) the superclass of className; classes
    // default to java/lang/Object. Throw and ThrowNew accept only subclasses of
    // java/lang/Throwable; the standard exception classes are predefined as such.
    void setSuperclass(const std::string& className, const std::string& superName);
    void setField(jobject obj, const std::string& name, jvalue value);
    jvalue field(jobject obj, const std::string& name) const;
    // The same for a class with two fields of one name (legal in a class file,
    // and what a subclass field hiding its superclass's gives).
    void setField(jobject obj, const std::string& name, const std::string& signature, jvalue value);
    jvalue field(jobject obj, const std::string& name, const std::string& signature) const;
    std::string className(jobject obj) const;

    // --- arrays ---
    jobjectArray newStringArray(const std::vector<std::u16string>& items);
    std::vector<jobject> elements(jobjectArray array) const;

    // --- exceptions ---
    bool exceptionPending() const;
    std::string pendingClass() const;        // slash-separated; "" when none
    bool pendingMessageIsNull() const;
    std::string pendingMessage() const;      // UTF-8
    void clearException();
    void throwNew(const std::string& className, const char* message);

    // --- bookkeeping ---
    // FatalError records the message and throws FatalErrorCalled (the VM would end).
    struct FatalErrorCalled {
        std::string message;
    };
    size_t liveLocalReferences() const;      // made by the natives and not deleted
    size_t maxLiveLocalReferences() const;   // high-water mark since the last reset
    // As the return of a native frees its local references: both counts restart
    // at 0. References made so far stay usable by the test.
    void resetLocalReferenceCount();
    // Every JNI function called since the last clearCalls, by name, in order.
    const std::vector<std::string>& calls() const;
    void clearCalls();
    // Pinned string characters not yet released (GetStringUTFChars, GetStringChars, ...).
    size_t unreleasedStringChars() const;

    // Misuse of JNI that -Xcheck:jni reports, one text per fault, in order: a
    // JNI function other than the exception-safe ones called with an exception
    // pending, a function called inside a critical region, a deleted or wrong
    // kind of reference, characters released that were not obtained, a field
    // read with the getter of another type, a null where JNI requires an object.
    std::vector<std::string> jniErrors() const;
    // Softer findings: more live local references in a frame than its capacity
    // (16, or what EnsureLocalCapacity / PushLocalFrame reserved), once per frame.
    std::vector<std::string> jniWarnings() const;
    // Messages passed to FatalError, in order.
    std::vector<std::string> fatalErrors() const;
    size_t liveGlobalReferences() const;   // NewGlobalRef minus DeleteGlobalRef

    // Faults that make going on meaningless abort the whole test program with a
    // message on stderr: a JNI function this host does not implement (its name
    // is printed), an unknown reference, bytes given to NewStringUTF or ThrowNew
    // that are not modified UTF-8, an out-of-range index of Get/SetObjectArrayElement.

    struct State;

private:
    void setFieldImpl(jobject obj, const std::string& name, const std::string* signature, jvalue value);
    jvalue fieldImpl(jobject obj, const std::string& name, const std::string* signature) const;

    std::unique_ptr<State> state_;
};

}  // namespace jnihost
