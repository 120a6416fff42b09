// The JNI test host: a JNIEnv whose function table is implemented over a small
// in-memory object model. Every slot of the table is filled: what the host does
// not implement aborts the test program with the function's name, so that a
// native never runs on a silently wrong answer.
//
// References. A jobject handed out is the address of a Ref record that points
// at the object; references are never reused, so a deleted one is recognised
// when it is used again. Three kinds: references the test made (they stand
// for the arguments a native receives, so a native may delete them), local
// references made by JNI functions on the native's behalf (counted), and
// global references.
#include "jnihost.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace jnihost {

namespace {

struct ClassInfo;
struct FieldEntry;
struct Object;

enum class Kind { Instance, String, Class, Array };

struct FieldValue {
    jvalue value;
    Object* object;  // reference-typed fields
};

struct Object {
    Kind kind = Kind::Instance;
    ClassInfo* cls = nullptr;           // the object's class
    std::unordered_map<const FieldEntry*, FieldValue> fields;  // Instance: written or read so far
    std::u16string text;                // String
    ClassInfo* represents = nullptr;    // Class: the class this object stands for
    std::vector<Object*> elements;      // Array
    ClassInfo* elementClass = nullptr;  // Array
    Object* message = nullptr;          // throwables: a String, or null
};

struct FieldEntry {
    ClassInfo* cls;
    size_t index;
};

struct MethodEntry {
    ClassInfo* cls;
    std::string name, signature;
    std::vector<char> parameters;  // one type character per parameter ('L' for references)
    Constructor ctor;
};

struct ClassInfo {
    std::string name;
    ClassInfo* super = nullptr;
    Object* object = nullptr;  // its java/lang/Class object
    std::vector<FieldSpec> fields;
    std::deque<FieldEntry> fieldIds;  // parallel to fields; stable addresses
    std::deque<MethodEntry> methods;
};

enum class RefKind { Test, Local, Global };

struct Ref {
    Object* obj;
    RefKind kind;
    bool live = true;
    bool counted = false;  // a live local reference still counted against the native
    size_t frame = 0;
};

enum class PinKind { Utf, Chars, Critical };

struct Pin {
    Object* string;
    PinKind kind;
};

struct Frame {
    size_t capacity;
    size_t count = 0;
    bool warned = false;
};

constexpr size_t kDefaultLocalCapacity = 16;

char typeOf(const std::string& signature) {
    if (signature.empty()) return '?';
    return signature[0] == '[' ? 'L' : signature[0];
}

// Parameter types of a method signature "(...)R", one character each; false
// when the signature is malformed.
bool parseParameters(const std::string& sig, std::vector<char>* out) {
    if (sig.empty() || sig[0] != '(') return false;
    size_t i = 1;
    while (i < sig.size() && sig[i] != ')') {
        const size_t start = i;
        while (i < sig.size() && sig[i] == '[') ++i;
        if (i >= sig.size()) return false;
        if (sig[i] == 'L') {
            i = sig.find(';', i);
            if (i == std::string::npos) return false;
        } else if (!strchr("BCDFIJSZ", sig[i])) {
            return false;
        }
        ++i;
        out->push_back(i - start > 1 ? 'L' : sig[start]);
    }
    return i < sig.size() && i + 1 < sig.size();
}

// Modified UTF-8 to UTF-16; false on bytes that are not modified UTF-8 (a raw
// NUL cannot occur: the input ends there).
bool decodeModifiedUtf8(const char* bytes, std::u16string* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    while (*p) {
        const unsigned b = *p;
        if (b < 0x80) {
            out->push_back(static_cast<char16_t>(b));
            p += 1;
        } else if ((b & 0xE0) == 0xC0) {
            if ((p[1] & 0xC0) != 0x80) return false;
            const unsigned c = ((b & 0x1F) << 6) | (p[1] & 0x3F);
            if (c != 0 && c < 0x80) return false;  // overlong, except the NUL form C0 80
            out->push_back(static_cast<char16_t>(c));
            p += 2;
        } else if ((b & 0xF0) == 0xE0) {
            if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            const unsigned c = ((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (c < 0x800) return false;
            out->push_back(static_cast<char16_t>(c));
            p += 3;
        } else {
            return false;  // four-byte forms and stray continuation bytes
        }
    }
    return true;
}

void appendUtf8(std::string* out, unsigned c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Standard UTF-8 of UTF-16; a lone surrogate is kept as its three-byte form.
std::string toUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(&out, c);
    }
    return out;
}

// Standard UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::u16string fromUtf8(const std::string& utf8) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        unsigned c = *p;
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || end - p <= extra) {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        if (extra > 0) c &= 0x3F >> extra;
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (p[k] & 0x3F);
        }
        if (!ok) {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        p += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

const char* const kPredefined[][2] = {
    {"java/lang/Object", nullptr},
    {"java/lang/Class", "java/lang/Object"},
    {"java/lang/String", "java/lang/Object"},
    {"java/lang/Throwable", "java/lang/Object"},
    {"java/lang/Exception", "java/lang/Throwable"},
    {"java/lang/Error", "java/lang/Throwable"},
    {"java/lang/RuntimeException", "java/lang/Exception"},
    {"java/lang/NullPointerException", "java/lang/RuntimeException"},
    {"java/lang/IllegalArgumentException", "java/lang/RuntimeException"},
    {"java/lang/IndexOutOfBoundsException", "java/lang/RuntimeException"},
    {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
    {"java/lang/StringIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
    {"java/lang/ArrayStoreException", "java/lang/RuntimeException"},
    {"java/lang/NegativeArraySizeException", "java/lang/RuntimeException"},
    {"java/lang/InstantiationException", "java/lang/Exception"},
    {"java/io/IOException", "java/lang/Exception"},
    {"java/lang/LinkageError", "java/lang/Error"},
    {"java/lang/NoClassDefFoundError", "java/lang/LinkageError"},
    {"java/lang/IncompatibleClassChangeError", "java/lang/LinkageError"},
    {"java/lang/NoSuchFieldError", "java/lang/IncompatibleClassChangeError"},
    {"java/lang/NoSuchMethodError", "java/lang/IncompatibleClassChangeError"},
    {"java/lang/IllegalAccessError", "java/lang/IncompatibleClassChangeError"},
    {"java/lang/VirtualMachineError", "java/lang/Error"},
    {"java/lang/OutOfMemoryError", "java/lang/VirtualMachineError"},
};

}  // namespace

struct JniHost::State {
    // The JNIEnv handed to natives; envOwner leads back here.
    struct Box {
        JNIEnv_ env;
        State* owner;
    } box;

    Failures failures;
    std::deque<Object> objects;
    std::deque<Ref> refs;
    std::unordered_set<const void*> refSet;
    std::unordered_map<std::string, std::unique_ptr<ClassInfo>> classes;
    Object* pending = nullptr;

    std::vector<Frame> frames{Frame{kDefaultLocalCapacity}};
    size_t liveLocals = 0, maxLiveLocals = 0, liveGlobals = 0;
    std::unordered_map<const void*, Pin> pins;
    int criticalDepth = 0;

    std::vector<std::string> calls, errors, warnings, fatal;

    State();
    ~State() {
        for (auto& pin : pins) free(const_cast<void*>(pin.first));
    }

    [[noreturn]] void die(const std::string& what) const {
        fprintf(stderr, "\njnihost: %s\n", what.c_str());
        fflush(stderr);
        abort();
    }
    void error(const std::string& what) { errors.push_back(what); }

    // --- objects and classes ---
    Object* newObjectOf(ClassInfo* cls, Kind kind) {
        objects.emplace_back();
        Object* o = &objects.back();
        o->kind = kind;
        o->cls = cls;
        return o;
    }
    Object* newStringObject(std::u16string text) {
        Object* o = newObjectOf(classNamed("java/lang/String"), Kind::String);
        o->text = std::move(text);
        return o;
    }
    ClassInfo* findClass(const std::string& name) const {
        auto it = classes.find(name);
        return it == classes.end() ? nullptr : it->second.get();
    }
    ClassInfo* classNamed(const std::string& name) {
        if (ClassInfo* c = findClass(name)) return c;
        auto info = std::make_unique<ClassInfo>();
        ClassInfo* c = info.get();
        c->name = name;
        classes.emplace(name, std::move(info));
        if (name != "java/lang/Object") c->super = classNamed("java/lang/Object");
        c->object = newObjectOf(classNamed("java/lang/Class"), Kind::Class);
        c->object->represents = c;
        return c;
    }
    // An array class "[Lname;" (or "[[..."), made on first use.
    ClassInfo* arrayClassOf(ClassInfo* element) {
        const std::string& n = element->name;
        return classNamed(n[0] == '[' ? "[" + n : "[L" + n + ";");
    }
    static bool assignable(const ClassInfo* from, const ClassInfo* to) {
        if (to->name == "java/lang/Object") return true;
        for (; from; from = from->super)
            if (from == to) return true;
        return false;
    }
    bool instanceOf(const Object* o, const char* className) {
        ClassInfo* c = findClass(className);
        return c && assignable(o->cls, c);
    }

    // --- references ---
    jobject makeRef(Object* obj, RefKind kind, const char* fn) {
        if (!obj) return nullptr;
        refs.push_back(Ref{obj, kind});
        Ref* r = &refs.back();
        refSet.insert(r);
        if (kind == RefKind::Local) {
            r->counted = true;
            r->frame = frames.size() - 1;
            Frame& f = frames.back();
            ++f.count;
            if (++liveLocals > maxLiveLocals) maxLiveLocals = liveLocals;
            if (f.count > f.capacity && !f.warned) {
                f.warned = true;
                warnings.push_back(std::string(fn) + ": " + std::to_string(f.count) +
                                   " live local references exceed the frame's capacity of " +
                                   std::to_string(f.capacity));
            }
        } else if (kind == RefKind::Global) {
            ++liveGlobals;
        }
        return reinterpret_cast<jobject>(r);
    }
    jobject local(Object* obj, const char* fn) { return makeRef(obj, RefKind::Local, fn); }
    jobject testRef(Object* obj) { return makeRef(obj, RefKind::Test, "test"); }

    Ref* refOf(const void* ref, const char* fn) const {
        if (!refSet.count(ref)) die(std::string(fn) + ": not a reference of this host");
        return static_cast<Ref*>(const_cast<void*>(ref));
    }
    void uncount(Ref* r) {
        if (!r->counted) return;
        r->counted = false;
        --liveLocals;
        if (r->frame < frames.size()) {
            Frame& f = frames[r->frame];
            if (f.count) --f.count;
        }
    }
    // The object behind a reference a native passed; null for null. A deleted
    // reference is a JNI error, but its object is still answered so that the
    // test sees the error rather than a crash.
    Object* resolve(const void* ref, const char* fn) {
        if (!ref) return nullptr;
        Ref* r = refOf(ref, fn);
        if (!r->live) error(std::string(fn) + ": use of a deleted reference");
        return r->obj;
    }
    Object* resolveForTest(const void* ref, const char* fn) const {
        return ref ? refOf(ref, fn)->obj : nullptr;
    }
    // Like resolve, and the object must be of this kind: a JNI error otherwise.
    Object* resolveAs(const void* ref, Kind kind, const char* fn, const char* what) {
        Object* o = resolve(ref, fn);
        if (!o) {
            error(std::string(fn) + ": null " + what);
            return nullptr;
        }
        if (o->kind != kind) {
            error(std::string(fn) + ": argument is not a " + what);
            return nullptr;
        }
        return o;
    }

    // --- exceptions ---
    void raise(const std::string& className, const std::u16string* message) {
        Object* e = newObjectOf(classNamed(className), Kind::Instance);
        e->message = message ? newStringObject(*message) : nullptr;
        pending = e;
    }
    void raise(const std::string& className, const std::string& utf8Message) {
        const std::u16string m = fromUtf8(utf8Message);
        raise(className, &m);
    }
    void outOfMemory() { raise("java/lang/OutOfMemoryError", std::string("jnihost: injected failure")); }

    // --- bookkeeping at the entry of every JNI function ---
    void enter(const char* fn, bool exceptionSafe, bool criticalSafe = false) {
        calls.emplace_back(fn);
        if (pending && !exceptionSafe) error(std::string(fn) + " called with an exception pending");
        if (criticalDepth > 0 && !criticalSafe) error(std::string(fn) + " called inside a critical region");
    }
};

namespace {

using State = JniHost::State;

State& S(JNIEnv* env) { return *reinterpret_cast<State::Box*>(env)->owner; }

// JNI functions that may be called with an exception pending.
State& enterSafe(JNIEnv* env, const char* fn) {
    State& s = S(env);
    s.enter(fn, true);
    return s;
}
State& enter(JNIEnv* env, const char* fn) {
    State& s = S(env);
    s.enter(fn, false);
    return s;
}

// ------------------------------------------------------------ version, classes

jint JNICALL jGetVersion(JNIEnv* env) {
    enter(env, "GetVersion");
    return JNI_VERSION_10;
}

jclass JNICALL jFindClass(JNIEnv* env, const char* name) {
    State& s = enter(env, "FindClass");
    if (!name) {
        s.error("FindClass: null name");
        return nullptr;
    }
    if (strchr(name, '.')) s.error(std::string("FindClass: a dotted name \"") + name + "\"; JNI names use slashes");
    ClassInfo* c = s.failures.findClass ? nullptr : s.findClass(name);
    if (!c) {
        s.raise("java/lang/NoClassDefFoundError", std::string(name));
        return nullptr;
    }
    return static_cast<jclass>(s.local(c->object, "FindClass"));
}

jclass JNICALL jGetSuperclass(JNIEnv* env, jclass cls) {
    State& s = enter(env, "GetSuperclass");
    Object* c = s.resolveAs(cls, Kind::Class, "GetSuperclass", "class");
    if (!c || !c->represents->super) return nullptr;
    return static_cast<jclass>(s.local(c->represents->super->object, "GetSuperclass"));
}

jboolean JNICALL jIsAssignableFrom(JNIEnv* env, jclass sub, jclass sup) {
    State& s = enter(env, "IsAssignableFrom");
    Object* a = s.resolveAs(sub, Kind::Class, "IsAssignableFrom", "class");
    Object* b = s.resolveAs(sup, Kind::Class, "IsAssignableFrom", "class");
    return a && b && State::assignable(a->represents, b->represents) ? JNI_TRUE : JNI_FALSE;
}

jclass JNICALL jGetObjectClass(JNIEnv* env, jobject obj) {
    State& s = enter(env, "GetObjectClass");
    Object* o = s.resolve(obj, "GetObjectClass");
    if (!o) {
        s.error("GetObjectClass: null object");
        return nullptr;
    }
    return static_cast<jclass>(s.local(o->cls->object, "GetObjectClass"));
}

jboolean JNICALL jIsInstanceOf(JNIEnv* env, jobject obj, jclass cls) {
    State& s = enter(env, "IsInstanceOf");
    Object* o = s.resolve(obj, "IsInstanceOf");
    Object* c = s.resolveAs(cls, Kind::Class, "IsInstanceOf", "class");
    if (!c) return JNI_FALSE;
    return !o || State::assignable(o->cls, c->represents) ? JNI_TRUE : JNI_FALSE;
}

// ------------------------------------------------------------ exceptions

jint JNICALL jThrow(JNIEnv* env, jthrowable obj) {
    State& s = enter(env, "Throw");
    Object* o = s.resolve(obj, "Throw");
    if (!o || !s.instanceOf(o, "java/lang/Throwable")) {
        s.error("Throw: argument is not a Throwable");
        return -1;
    }
    s.pending = o;
    return 0;
}

jint JNICALL jThrowNew(JNIEnv* env, jclass cls, const char* message) {
    State& s = enter(env, "ThrowNew");
    Object* c = s.resolveAs(cls, Kind::Class, "ThrowNew", "class");
    if (!c) return -1;
    if (!State::assignable(c->represents, s.classNamed("java/lang/Throwable"))) {
        s.error("ThrowNew: " + c->represents->name + " is not a Throwable");
        return -1;
    }
    std::u16string text;
    if (message && !decodeModifiedUtf8(message, &text)) s.die("ThrowNew: message is not modified UTF-8");
    s.raise(c->represents->name, message ? &text : nullptr);
    return 0;
}

jthrowable JNICALL jExceptionOccurred(JNIEnv* env) {
    State& s = enterSafe(env, "ExceptionOccurred");
    return static_cast<jthrowable>(s.local(s.pending, "ExceptionOccurred"));
}

// Prints the pending exception and clears it, as the VM does.
void JNICALL jExceptionDescribe(JNIEnv* env) {
    State& s = enterSafe(env, "ExceptionDescribe");
    if (!s.pending) return;
    fprintf(stderr, "jnihost: exception %s: %s\n", s.pending->cls->name.c_str(),
            s.pending->message ? toUtf8(s.pending->message->text).c_str() : "(no message)");
    s.pending = nullptr;
}

void JNICALL jExceptionClear(JNIEnv* env) {
    State& s = enterSafe(env, "ExceptionClear");
    s.pending = nullptr;
}

jboolean JNICALL jExceptionCheck(JNIEnv* env) {
    State& s = enterSafe(env, "ExceptionCheck");
    return s.pending ? JNI_TRUE : JNI_FALSE;
}

// The VM would end the process; the host records the message and unwinds to
// the test with FatalErrorCalled.
void JNICALL jFatalError(JNIEnv* env, const char* message) {
    State& s = enterSafe(env, "FatalError");
    const std::string text = message ? message : "";
    s.fatal.push_back(text);
    throw JniHost::FatalErrorCalled{text};
}

// ------------------------------------------------------------ references

jint JNICALL jPushLocalFrame(JNIEnv* env, jint capacity) {
    State& s = enterSafe(env, "PushLocalFrame");
    if (capacity < 0) {
        s.error("PushLocalFrame: negative capacity");
        return -1;
    }
    s.frames.push_back(Frame{static_cast<size_t>(capacity)});
    return 0;
}

jobject JNICALL jPopLocalFrame(JNIEnv* env, jobject result) {
    State& s = enterSafe(env, "PopLocalFrame");
    Object* keep = s.resolve(result, "PopLocalFrame");
    if (s.frames.size() < 2) {
        s.error("PopLocalFrame: no frame pushed");
        return nullptr;
    }
    const size_t top = s.frames.size() - 1;
    for (Ref& r : s.refs) {
        if (r.kind == RefKind::Local && r.live && r.frame == top) {
            s.uncount(&r);
            r.live = false;
        }
    }
    s.frames.pop_back();
    return s.local(keep, "PopLocalFrame");
}

jint JNICALL jEnsureLocalCapacity(JNIEnv* env, jint capacity) {
    State& s = enter(env, "EnsureLocalCapacity");
    if (capacity < 0) {
        s.error("EnsureLocalCapacity: negative capacity");
        return -1;
    }
    Frame& f = s.frames.back();
    f.capacity = std::max(f.capacity, f.count + static_cast<size_t>(capacity));
    return 0;
}

jobject JNICALL jNewGlobalRef(JNIEnv* env, jobject obj) {
    State& s = enter(env, "NewGlobalRef");
    return s.makeRef(s.resolve(obj, "NewGlobalRef"), RefKind::Global, "NewGlobalRef");
}

void JNICALL jDeleteGlobalRef(JNIEnv* env, jobject ref) {
    State& s = enterSafe(env, "DeleteGlobalRef");
    if (!ref) return;
    Ref* r = s.refOf(ref, "DeleteGlobalRef");
    if (r->kind != RefKind::Global || !r->live) {
        s.error(r->live ? "DeleteGlobalRef: not a global reference" : "DeleteGlobalRef: already deleted");
        return;
    }
    r->live = false;
    --s.liveGlobals;
}

// Accepts null, and the references a native received as arguments.
void JNICALL jDeleteLocalRef(JNIEnv* env, jobject ref) {
    State& s = enterSafe(env, "DeleteLocalRef");
    if (!ref) return;
    Ref* r = s.refOf(ref, "DeleteLocalRef");
    if (!r->live) {
        s.error("DeleteLocalRef: already deleted");
        return;
    }
    if (r->kind == RefKind::Global) {
        s.error("DeleteLocalRef: a global reference");
        return;
    }
    s.uncount(r);
    r->live = false;
}

jobject JNICALL jNewLocalRef(JNIEnv* env, jobject ref) {
    State& s = enter(env, "NewLocalRef");
    return s.local(s.resolve(ref, "NewLocalRef"), "NewLocalRef");
}

jboolean JNICALL jIsSameObject(JNIEnv* env, jobject a, jobject b) {
    State& s = enterSafe(env, "IsSameObject");
    return s.resolve(a, "IsSameObject") == s.resolve(b, "IsSameObject") ? JNI_TRUE : JNI_FALSE;
}

jobjectRefType JNICALL jGetObjectRefType(JNIEnv* env, jobject ref) {
    State& s = enter(env, "GetObjectRefType");
    if (!ref || !s.refSet.count(ref)) return JNIInvalidRefType;
    const Ref* r = static_cast<const Ref*>(static_cast<const void*>(ref));
    if (!r->live) return JNIInvalidRefType;
    return r->kind == RefKind::Global ? JNIGlobalRefType : JNILocalRefType;
}

// ------------------------------------------------------------ objects

jobject JNICALL jAllocObject(JNIEnv* env, jclass cls) {
    State& s = enter(env, "AllocObject");
    Object* c = s.resolveAs(cls, Kind::Class, "AllocObject", "class");
    return c ? s.local(s.newObjectOf(c->represents, Kind::Instance), "AllocObject") : nullptr;
}

jmethodID JNICALL jGetMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    State& s = enter(env, "GetMethodID");
    Object* c = s.resolveAs(cls, Kind::Class, "GetMethodID", "class");
    if (!c) return nullptr;
    if (!name || !sig) {
        s.error("GetMethodID: null name or signature");
        return nullptr;
    }
    for (MethodEntry& m : c->represents->methods)
        if (m.name == name && m.signature == sig) return reinterpret_cast<jmethodID>(&m);
    s.raise("java/lang/NoSuchMethodError", std::string(name) + sig);
    return nullptr;
}

// Runs the constructor for a new object of cls: null with the exception
// pending when the constructor raised one.
jobject construct(State& s, const char* fn, jclass cls, jmethodID id, const std::vector<jvalue>& args) {
    Object* c = s.resolveAs(cls, Kind::Class, fn, "class");
    if (!c) return nullptr;
    auto* m = reinterpret_cast<MethodEntry*>(id);
    if (!m || m->cls != c->represents || m->name != "<init>") {
        s.error(std::string(fn) + ": not a constructor of " + c->represents->name);
        return nullptr;
    }
    Object* o = s.newObjectOf(c->represents, Kind::Instance);
    if (m->ctor) {
        jobject self = s.testRef(o);
        m->ctor(self, args);
    }
    if (s.pending) return nullptr;
    return s.local(o, fn);
}

std::vector<jvalue> readArgs(const MethodEntry* m, va_list args) {
    std::vector<jvalue> out;
    if (!m) return out;
    for (char t : m->parameters) {
        jvalue v;
        memset(&v, 0, sizeof v);
        switch (t) {
            case 'Z': v.z = static_cast<jboolean>(va_arg(args, int)); break;
            case 'B': v.b = static_cast<jbyte>(va_arg(args, int)); break;
            case 'C': v.c = static_cast<jchar>(va_arg(args, int)); break;
            case 'S': v.s = static_cast<jshort>(va_arg(args, int)); break;
            case 'I': v.i = va_arg(args, jint); break;
            case 'J': v.j = va_arg(args, jlong); break;
            case 'F': v.f = static_cast<jfloat>(va_arg(args, double)); break;
            case 'D': v.d = va_arg(args, double); break;
            default: v.l = va_arg(args, jobject); break;
        }
        out.push_back(v);
    }
    return out;
}

jobject JNICALL jNewObjectV(JNIEnv* env, jclass cls, jmethodID id, va_list args) {
    State& s = enter(env, "NewObjectV");
    return construct(s, "NewObjectV", cls, id, readArgs(reinterpret_cast<MethodEntry*>(id), args));
}

jobject JNICALL jNewObject(JNIEnv* env, jclass cls, jmethodID id, ...) {
    State& s = enter(env, "NewObject");
    va_list args;
    va_start(args, id);
    std::vector<jvalue> values = readArgs(reinterpret_cast<MethodEntry*>(id), args);
    va_end(args);
    return construct(s, "NewObject", cls, id, values);
}

jobject JNICALL jNewObjectA(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) {
    State& s = enter(env, "NewObjectA");
    auto* m = reinterpret_cast<MethodEntry*>(id);
    std::vector<jvalue> values;
    if (m && !m->parameters.empty()) {
        if (!args) {
            s.error("NewObjectA: null arguments");
            return nullptr;
        }
        values.assign(args, args + m->parameters.size());
    }
    return construct(s, "NewObjectA", cls, id, values);
}

// ------------------------------------------------------------ fields

jfieldID JNICALL jGetFieldID(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    State& s = enter(env, "GetFieldID");
    Object* c = s.resolveAs(cls, Kind::Class, "GetFieldID", "class");
    if (!c) return nullptr;
    if (!name || !sig) {
        s.error("GetFieldID: null name or signature");
        return nullptr;
    }
    for (ClassInfo* k = c->represents; k; k = k->super) {
        for (size_t i = 0; i < k->fields.size(); ++i) {
            const FieldSpec& f = k->fields[i];
            if (f.name == name && (f.signature == sig || s.failures.acceptAnySignature))
                return reinterpret_cast<jfieldID>(&k->fieldIds[i]);
        }
    }
    s.raise("java/lang/NoSuchFieldError", std::string(name));
    return nullptr;
}

// A field's value in an object; all zero until written.
FieldValue& storage(Object* o, const FieldEntry* f) {
    auto it = o->fields.find(f);
    if (it == o->fields.end()) {
        FieldValue zero;
        memset(&zero, 0, sizeof zero);
        it = o->fields.emplace(f, zero).first;
    }
    return it->second;
}

// The stored value of a field, checked against the getter's type; null (and a
// JNI error) when the object, the id or the type does not fit.
FieldValue* fieldSlot(State& s, jobject obj, jfieldID id, char type, const char* fn) {
    Object* o = s.resolveAs(obj, Kind::Instance, fn, "object");
    auto* f = reinterpret_cast<FieldEntry*>(id);
    if (!o) return nullptr;
    if (!f) {
        s.error(std::string(fn) + ": null field id");
        return nullptr;
    }
    if (!State::assignable(o->cls, f->cls)) {
        s.error(std::string(fn) + ": field of " + f->cls->name + " read on a " + o->cls->name);
        return nullptr;
    }
    const FieldSpec& desc = f->cls->fields[f->index];
    if (typeOf(desc.signature) != type) {
        s.error(std::string(fn) + ": field " + desc.name + " has type " + desc.signature);
        return nullptr;
    }
    return &storage(o, f);
}

#define RW_FIELD_ACCESS(Name, JType, member, typeChar)                                 \
    JType JNICALL jGet##Name##Field(JNIEnv* env, jobject obj, jfieldID id) {           \
        State& s = enter(env, "Get" #Name "Field");                                    \
        FieldValue* v = fieldSlot(s, obj, id, typeChar, "Get" #Name "Field");          \
        return v ? v->value.member : JType();                                          \
    }                                                                                  \
    void JNICALL jSet##Name##Field(JNIEnv* env, jobject obj, jfieldID id, JType val) { \
        State& s = enter(env, "Set" #Name "Field");                                    \
        FieldValue* v = fieldSlot(s, obj, id, typeChar, "Set" #Name "Field");          \
        if (!v) return;                                                                \
        memset(&v->value, 0, sizeof v->value);                                         \
        v->value.member = val;                                                         \
    }

RW_FIELD_ACCESS(Boolean, jboolean, z, 'Z')
RW_FIELD_ACCESS(Byte, jbyte, b, 'B')
RW_FIELD_ACCESS(Char, jchar, c, 'C')
RW_FIELD_ACCESS(Short, jshort, s, 'S')
RW_FIELD_ACCESS(Int, jint, i, 'I')
RW_FIELD_ACCESS(Long, jlong, j, 'J')
RW_FIELD_ACCESS(Float, jfloat, f, 'F')
RW_FIELD_ACCESS(Double, jdouble, d, 'D')
#undef RW_FIELD_ACCESS

jobject JNICALL jGetObjectField(JNIEnv* env, jobject obj, jfieldID id) {
    State& s = enter(env, "GetObjectField");
    FieldValue* v = fieldSlot(s, obj, id, 'L', "GetObjectField");
    return v ? s.local(v->object, "GetObjectField") : nullptr;
}

void JNICALL jSetObjectField(JNIEnv* env, jobject obj, jfieldID id, jobject value) {
    State& s = enter(env, "SetObjectField");
    FieldValue* v = fieldSlot(s, obj, id, 'L', "SetObjectField");
    if (v) v->object = s.resolve(value, "SetObjectField");
}

// ------------------------------------------------------------ strings

Object* stringArg(State& s, jstring str, const char* fn) { return s.resolveAs(str, Kind::String, fn, "string"); }

jstring JNICALL jNewString(JNIEnv* env, const jchar* chars, jsize len) {
    State& s = enter(env, "NewString");
    if (len < 0 || (len > 0 && !chars)) {
        s.error("NewString: bad characters or length");
        return nullptr;
    }
    if (s.failures.newString) {
        s.outOfMemory();
        return nullptr;
    }
    std::u16string text(reinterpret_cast<const char16_t*>(chars), reinterpret_cast<const char16_t*>(chars) + len);
    return static_cast<jstring>(s.local(s.newStringObject(std::move(text)), "NewString"));
}

jsize JNICALL jGetStringLength(JNIEnv* env, jstring str) {
    State& s = enter(env, "GetStringLength");
    Object* o = stringArg(s, str, "GetStringLength");
    return o ? static_cast<jsize>(o->text.size()) : 0;
}

// A copy of the characters, exactly as long as the string (no terminator: the
// JNI gives none), pinned until released.
const jchar* pinChars(State& s, jstring str, PinKind kind, jboolean* isCopy, const char* fn) {
    Object* o = stringArg(s, str, fn);
    if (!o) return nullptr;
    if (s.failures.getStringChars) {
        s.outOfMemory();
        return nullptr;
    }
    auto* buf = static_cast<jchar*>(malloc(std::max<size_t>(1, o->text.size()) * sizeof(jchar)));
    if (!o->text.empty()) memcpy(buf, o->text.data(), o->text.size() * sizeof(jchar));
    s.pins.emplace(buf, Pin{o, kind});
    if (isCopy) *isCopy = JNI_TRUE;
    return buf;
}

void unpin(State& s, jstring str, const void* chars, PinKind kind, const char* fn) {
    auto it = s.pins.find(chars);
    if (it == s.pins.end()) {
        s.error(std::string(fn) + ": characters not obtained from the matching Get function, or released twice");
        return;
    }
    if (it->second.kind != kind) s.error(std::string(fn) + ": characters obtained by another Get function");
    if (s.resolve(str, fn) != it->second.string) s.error(std::string(fn) + ": characters of another string");
    free(const_cast<void*>(it->first));
    s.pins.erase(it);
}

const jchar* JNICALL jGetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    State& s = enter(env, "GetStringChars");
    return pinChars(s, str, PinKind::Chars, isCopy, "GetStringChars");
}

void JNICALL jReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
    State& s = enterSafe(env, "ReleaseStringChars");
    unpin(s, str, chars, PinKind::Chars, "ReleaseStringChars");
}

const jchar* JNICALL jGetStringCritical(JNIEnv* env, jstring str, jboolean* isCopy) {
    State& s = S(env);
    s.enter("GetStringCritical", false, true);
    const jchar* chars = pinChars(s, str, PinKind::Critical, isCopy, "GetStringCritical");
    if (chars) ++s.criticalDepth;
    return chars;
}

void JNICALL jReleaseStringCritical(JNIEnv* env, jstring str, const jchar* chars) {
    State& s = S(env);
    s.enter("ReleaseStringCritical", true, true);
    const bool known = s.pins.count(chars) != 0;
    unpin(s, str, chars, PinKind::Critical, "ReleaseStringCritical");
    if (known && s.criticalDepth > 0) --s.criticalDepth;
}

jstring JNICALL jNewStringUTF(JNIEnv* env, const char* bytes) {
    State& s = enter(env, "NewStringUTF");
    if (!bytes) return nullptr;  // as the VM: null in, null out, nothing raised
    std::u16string text;
    if (!decodeModifiedUtf8(bytes, &text)) {
        std::string hex;
        for (const char* p = bytes; *p && hex.size() < 3 * 64; ++p) {
            char b[4];
            snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(*p));
            hex += b;
        }
        s.die("NewStringUTF: bytes that are not modified UTF-8: " + hex);
    }
    if (s.failures.newStringUTF) {
        s.outOfMemory();
        return nullptr;
    }
    return static_cast<jstring>(s.local(s.newStringObject(std::move(text)), "NewStringUTF"));
}

jsize JNICALL jGetStringUTFLength(JNIEnv* env, jstring str) {
    State& s = enter(env, "GetStringUTFLength");
    Object* o = stringArg(s, str, "GetStringUTFLength");
    return o ? static_cast<jsize>(JniHost::modifiedUtf8(o->text).size()) : 0;
}

// A NUL-terminated copy of the modified UTF-8 form, exactly as long as that.
const char* JNICALL jGetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    State& s = enter(env, "GetStringUTFChars");
    Object* o = stringArg(s, str, "GetStringUTFChars");
    if (!o) return nullptr;
    int& after = s.failures.getStringUTFCharsFailAfter;
    if (s.failures.getStringUTFChars || after == 0) {
        s.outOfMemory();
        return nullptr;
    }
    if (after > 0) --after;
    const std::string utf = JniHost::modifiedUtf8(o->text);
    char* buf = static_cast<char*>(malloc(utf.size() + 1));
    memcpy(buf, utf.c_str(), utf.size() + 1);
    s.pins.emplace(buf, Pin{o, PinKind::Utf});
    if (isCopy) *isCopy = JNI_TRUE;
    return buf;
}

void JNICALL jReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
    State& s = enterSafe(env, "ReleaseStringUTFChars");
    unpin(s, str, chars, PinKind::Utf, "ReleaseStringUTFChars");
}

bool regionOk(State& s, const Object* o, jsize start, jsize len) {
    if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > o->text.size()) {
        s.raise("java/lang/StringIndexOutOfBoundsException", std::string("region out of bounds"));
        return false;
    }
    return true;
}

void JNICALL jGetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
    State& s = enter(env, "GetStringRegion");
    Object* o = stringArg(s, str, "GetStringRegion");
    if (!o || !regionOk(s, o, start, len)) return;
    if (len > 0) memcpy(buf, o->text.data() + start, static_cast<size_t>(len) * sizeof(jchar));
}

// Writes the region's modified UTF-8 and a terminating NUL, as the VM does.
void JNICALL jGetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
    State& s = enter(env, "GetStringUTFRegion");
    Object* o = stringArg(s, str, "GetStringUTFRegion");
    if (!o || !regionOk(s, o, start, len)) return;
    const std::string utf = JniHost::modifiedUtf8(o->text.substr(static_cast<size_t>(start), static_cast<size_t>(len)));
    memcpy(buf, utf.c_str(), utf.size() + 1);
}

// ------------------------------------------------------------ arrays

jsize JNICALL jGetArrayLength(JNIEnv* env, jarray array) {
    State& s = enter(env, "GetArrayLength");
    Object* a = s.resolveAs(array, Kind::Array, "GetArrayLength", "array");
    return a ? static_cast<jsize>(a->elements.size()) : 0;
}

jobjectArray JNICALL jNewObjectArray(JNIEnv* env, jsize len, jclass elementClass, jobject init) {
    State& s = enter(env, "NewObjectArray");
    Object* c = s.resolveAs(elementClass, Kind::Class, "NewObjectArray", "class");
    Object* first = s.resolve(init, "NewObjectArray");
    if (!c) return nullptr;
    if (len < 0) {
        s.raise("java/lang/NegativeArraySizeException", std::to_string(len));
        return nullptr;
    }
    if (s.failures.newObjectArray) {
        s.outOfMemory();
        return nullptr;
    }
    Object* a = s.newObjectOf(s.arrayClassOf(c->represents), Kind::Array);
    a->elementClass = c->represents;
    a->elements.assign(static_cast<size_t>(len), first);
    return static_cast<jobjectArray>(s.local(a, "NewObjectArray"));
}

Object* checkedArray(State& s, jobjectArray array, jsize index, const char* fn) {
    Object* a = s.resolveAs(array, Kind::Array, fn, "array");
    if (!a) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= a->elements.size())
        s.die(std::string(fn) + ": index " + std::to_string(index) + " out of range for length " +
              std::to_string(a->elements.size()));
    return a;
}

jobject JNICALL jGetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
    State& s = enter(env, "GetObjectArrayElement");
    Object* a = checkedArray(s, array, index, "GetObjectArrayElement");
    return a ? s.local(a->elements[static_cast<size_t>(index)], "GetObjectArrayElement") : nullptr;
}

void JNICALL jSetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    State& s = enter(env, "SetObjectArrayElement");
    Object* a = checkedArray(s, array, index, "SetObjectArrayElement");
    Object* v = s.resolve(value, "SetObjectArrayElement");
    if (!a) return;
    if (v && !State::assignable(v->cls, a->elementClass)) {
        s.raise("java/lang/ArrayStoreException", v->cls->name);
        return;
    }
    a->elements[static_cast<size_t>(index)] = v;
}

// ------------------------------------------------------------ the table

const char* slotName(size_t slot);

[[noreturn]] void unimplemented(JNIEnv* env, size_t slot) {
    State& s = S(env);
    s.calls.emplace_back(slotName(slot));
    s.die(std::string("the JNI function ") + slotName(slot) + " is not implemented by the test host");
}

template <size_t Slot, typename F>
struct Missing;
template <size_t Slot, typename R, typename... A>
struct Missing<Slot, R(JNICALL*)(JNIEnv*, A...)> {
    static R JNICALL call(JNIEnv* env, A...) { unimplemented(env, Slot); }
};
template <size_t Slot, typename R, typename... A>
struct Missing<Slot, R(JNICALL*)(JNIEnv*, A..., ...)> {
    static R JNICALL call(JNIEnv* env, A..., ...) { unimplemented(env, Slot); }
};

#define RW_JNI_SLOTS(X)                                                                                          \
    X(GetVersion) X(DefineClass) X(FindClass) X(FromReflectedMethod) X(FromReflectedField) X(ToReflectedMethod)   \
    X(GetSuperclass) X(IsAssignableFrom) X(ToReflectedField) X(Throw) X(ThrowNew) X(ExceptionOccurred)           \
    X(ExceptionDescribe) X(ExceptionClear) X(FatalError) X(PushLocalFrame) X(PopLocalFrame) X(NewGlobalRef)      \
    X(DeleteGlobalRef) X(DeleteLocalRef) X(IsSameObject) X(NewLocalRef) X(EnsureLocalCapacity) X(AllocObject)    \
    X(NewObject) X(NewObjectV) X(NewObjectA) X(GetObjectClass) X(IsInstanceOf) X(GetMethodID)                    \
    X(CallObjectMethod) X(CallObjectMethodV) X(CallObjectMethodA) X(CallBooleanMethod) X(CallBooleanMethodV)     \
    X(CallBooleanMethodA) X(CallByteMethod) X(CallByteMethodV) X(CallByteMethodA) X(CallCharMethod)              \
    X(CallCharMethodV) X(CallCharMethodA) X(CallShortMethod) X(CallShortMethodV) X(CallShortMethodA)             \
    X(CallIntMethod) X(CallIntMethodV) X(CallIntMethodA) X(CallLongMethod) X(CallLongMethodV) X(CallLongMethodA) \
    X(CallFloatMethod) X(CallFloatMethodV) X(CallFloatMethodA) X(CallDoubleMethod) X(CallDoubleMethodV)          \
    X(CallDoubleMethodA) X(CallVoidMethod) X(CallVoidMethodV) X(CallVoidMethodA) X(CallNonvirtualObjectMethod)   \
    X(CallNonvirtualObjectMethodV) X(CallNonvirtualObjectMethodA) X(CallNonvirtualBooleanMethod)                 \
    X(CallNonvirtualBooleanMethodV) X(CallNonvirtualBooleanMethodA) X(CallNonvirtualByteMethod)                  \
    X(CallNonvirtualByteMethodV) X(CallNonvirtualByteMethodA) X(CallNonvirtualCharMethod)                        \
    X(CallNonvirtualCharMethodV) X(CallNonvirtualCharMethodA) X(CallNonvirtualShortMethod)                       \
    X(CallNonvirtualShortMethodV) X(CallNonvirtualShortMethodA) X(CallNonvirtualIntMethod)                       \
    X(CallNonvirtualIntMethodV) X(CallNonvirtualIntMethodA) X(CallNonvirtualLongMethod)                          \
    X(CallNonvirtualLongMethodV) X(CallNonvirtualLongMethodA) X(CallNonvirtualFloatMethod)                       \
    X(CallNonvirtualFloatMethodV) X(CallNonvirtualFloatMethodA) X(CallNonvirtualDoubleMethod)                    \
    X(CallNonvirtualDoubleMethodV) X(CallNonvirtualDoubleMethodA) X(CallNonvirtualVoidMethod)                    \
    X(CallNonvirtualVoidMethodV) X(CallNonvirtualVoidMethodA) X(GetFieldID) X(GetObjectField)                    \
    X(GetBooleanField) X(GetByteField) X(GetCharField) X(GetShortField) X(GetIntField) X(GetLongField)           \
    X(GetFloatField) X(GetDoubleField) X(SetObjectField) X(SetBooleanField) X(SetByteField) X(SetCharField)      \
    X(SetShortField) X(SetIntField) X(SetLongField) X(SetFloatField) X(SetDoubleField) X(GetStaticMethodID)      \
    X(CallStaticObjectMethod) X(CallStaticObjectMethodV) X(CallStaticObjectMethodA) X(CallStaticBooleanMethod)   \
    X(CallStaticBooleanMethodV) X(CallStaticBooleanMethodA) X(CallStaticByteMethod) X(CallStaticByteMethodV)     \
    X(CallStaticByteMethodA) X(CallStaticCharMethod) X(CallStaticCharMethodV) X(CallStaticCharMethodA)           \
    X(CallStaticShortMethod) X(CallStaticShortMethodV) X(CallStaticShortMethodA) X(CallStaticIntMethod)          \
    X(CallStaticIntMethodV) X(CallStaticIntMethodA) X(CallStaticLongMethod) X(CallStaticLongMethodV)             \
    X(CallStaticLongMethodA) X(CallStaticFloatMethod) X(CallStaticFloatMethodV) X(CallStaticFloatMethodA)        \
    X(CallStaticDoubleMethod) X(CallStaticDoubleMethodV) X(CallStaticDoubleMethodA) X(CallStaticVoidMethod)      \
    X(CallStaticVoidMethodV) X(CallStaticVoidMethodA) X(GetStaticFieldID) X(GetStaticObjectField)                \
    X(GetStaticBooleanField) X(GetStaticByteField) X(GetStaticCharField) X(GetStaticShortField)                  \
    X(GetStaticIntField) X(GetStaticLongField) X(GetStaticFloatField) X(GetStaticDoubleField)                    \
    X(SetStaticObjectField) X(SetStaticBooleanField) X(SetStaticByteField) X(SetStaticCharField)                 \
    X(SetStaticShortField) X(SetStaticIntField) X(SetStaticLongField) X(SetStaticFloatField)                     \
    X(SetStaticDoubleField) X(NewString) X(GetStringLength) X(GetStringChars) X(ReleaseStringChars)              \
    X(NewStringUTF) X(GetStringUTFLength) X(GetStringUTFChars) X(ReleaseStringUTFChars) X(GetArrayLength)        \
    X(NewObjectArray) X(GetObjectArrayElement) X(SetObjectArrayElement) X(NewBooleanArray) X(NewByteArray)       \
    X(NewCharArray) X(NewShortArray) X(NewIntArray) X(NewLongArray) X(NewFloatArray) X(NewDoubleArray)           \
    X(GetBooleanArrayElements) X(GetByteArrayElements) X(GetCharArrayElements) X(GetShortArrayElements)          \
    X(GetIntArrayElements) X(GetLongArrayElements) X(GetFloatArrayElements) X(GetDoubleArrayElements)            \
    X(ReleaseBooleanArrayElements) X(ReleaseByteArrayElements) X(ReleaseCharArrayElements)                       \
    X(ReleaseShortArrayElements) X(ReleaseIntArrayElements) X(ReleaseLongArrayElements)                          \
    X(ReleaseFloatArrayElements) X(ReleaseDoubleArrayElements) X(GetBooleanArrayRegion) X(GetByteArrayRegion)    \
    X(GetCharArrayRegion) X(GetShortArrayRegion) X(GetIntArrayRegion) X(GetLongArrayRegion)                      \
    X(GetFloatArrayRegion) X(GetDoubleArrayRegion) X(SetBooleanArrayRegion) X(SetByteArrayRegion)                \
    X(SetCharArrayRegion) X(SetShortArrayRegion) X(SetIntArrayRegion) X(SetLongArrayRegion)                      \
    X(SetFloatArrayRegion) X(SetDoubleArrayRegion) X(RegisterNatives) X(UnregisterNatives) X(MonitorEnter)       \
    X(MonitorExit) X(GetJavaVM) X(GetStringRegion) X(GetStringUTFRegion) X(GetPrimitiveArrayCritical)            \
    X(ReleasePrimitiveArrayCritical) X(GetStringCritical) X(ReleaseStringCritical) X(NewWeakGlobalRef)           \
    X(DeleteWeakGlobalRef) X(ExceptionCheck) X(NewDirectByteBuffer) X(GetDirectBufferAddress)                    \
    X(GetDirectBufferCapacity) X(GetObjectRefType) X(GetModule)

#define RW_SLOT_INDEX(name) (offsetof(JNINativeInterface_, name) / sizeof(void*))

const char* slotName(size_t slot) {
    static const std::unordered_map<size_t, const char*> names = {
#define RW_NAME(name) {RW_SLOT_INDEX(name), #name},
        RW_JNI_SLOTS(RW_NAME)
#undef RW_NAME
    };
    auto it = names.find(slot);
    return it == names.end() ? "(unknown slot)" : it->second;
}

JNINativeInterface_ makeTable() {
    JNINativeInterface_ t;
    memset(&t, 0, sizeof t);  // the four reserved slots stay null, as in the VM
#define RW_MISSING(name) t.name = &Missing<RW_SLOT_INDEX(name), decltype(t.name)>::call;
    RW_JNI_SLOTS(RW_MISSING)
#undef RW_MISSING
#define RW_IMPL(name) t.name = &j##name;
    RW_IMPL(GetVersion)
    RW_IMPL(FindClass)
    RW_IMPL(GetSuperclass)
    RW_IMPL(IsAssignableFrom)
    RW_IMPL(Throw)
    RW_IMPL(ThrowNew)
    RW_IMPL(ExceptionOccurred)
    RW_IMPL(ExceptionDescribe)
    RW_IMPL(ExceptionClear)
    RW_IMPL(ExceptionCheck)
    RW_IMPL(FatalError)
    RW_IMPL(PushLocalFrame)
    RW_IMPL(PopLocalFrame)
    RW_IMPL(NewGlobalRef)
    RW_IMPL(DeleteGlobalRef)
    RW_IMPL(DeleteLocalRef)
    RW_IMPL(IsSameObject)
    RW_IMPL(NewLocalRef)
    RW_IMPL(EnsureLocalCapacity)
    RW_IMPL(GetObjectRefType)
    RW_IMPL(AllocObject)
    RW_IMPL(NewObject)
    RW_IMPL(NewObjectV)
    RW_IMPL(NewObjectA)
    RW_IMPL(GetObjectClass)
    RW_IMPL(IsInstanceOf)
    RW_IMPL(GetMethodID)
    RW_IMPL(GetFieldID)
    RW_IMPL(GetObjectField)
    RW_IMPL(GetBooleanField)
    RW_IMPL(GetByteField)
    RW_IMPL(GetCharField)
    RW_IMPL(GetShortField)
    RW_IMPL(GetIntField)
    RW_IMPL(GetLongField)
    RW_IMPL(GetFloatField)
    RW_IMPL(GetDoubleField)
    RW_IMPL(SetObjectField)
    RW_IMPL(SetBooleanField)
    RW_IMPL(SetByteField)
    RW_IMPL(SetCharField)
    RW_IMPL(SetShortField)
    RW_IMPL(SetIntField)
    RW_IMPL(SetLongField)
    RW_IMPL(SetFloatField)
    RW_IMPL(SetDoubleField)
    RW_IMPL(NewString)
    RW_IMPL(GetStringLength)
    RW_IMPL(GetStringChars)
    RW_IMPL(ReleaseStringChars)
    RW_IMPL(NewStringUTF)
    RW_IMPL(GetStringUTFLength)
    RW_IMPL(GetStringUTFChars)
    RW_IMPL(ReleaseStringUTFChars)
    RW_IMPL(GetStringRegion)
    RW_IMPL(GetStringUTFRegion)
    RW_IMPL(GetStringCritical)
    RW_IMPL(ReleaseStringCritical)
    RW_IMPL(GetArrayLength)
    RW_IMPL(NewObjectArray)
    RW_IMPL(GetObjectArrayElement)
    RW_IMPL(SetObjectArrayElement)
#undef RW_IMPL
    return t;
}

const JNINativeInterface_& table() {
    static const JNINativeInterface_ t = makeTable();
    return t;
}

}  // namespace

JniHost::State::State() {
    box.env.functions = &table();
    box.owner = this;
    for (const auto& c : kPredefined) {
        ClassInfo* info = classNamed(c[0]);
        if (c[1]) info->super = classNamed(c[1]);
    }
}

// ------------------------------------------------------------ the test's side

JniHost::JniHost() : state_(std::make_unique<State>()) {}
JniHost::~JniHost() = default;

JNIEnv* JniHost::env() { return &state_->box.env; }
Failures& JniHost::failures() { return state_->failures; }

jstring JniHost::newString(const std::u16string& text) {
    return static_cast<jstring>(state_->testRef(state_->newStringObject(text)));
}

jstring JniHost::newStringUtf8(const std::string& standardUtf8) { return newString(fromUtf8(standardUtf8)); }

std::u16string JniHost::text(jstring s) const {
    const Object* o = state_->resolveForTest(s, "text");
    if (!o || o->kind != Kind::String) state_->die("text: not a string");
    return o->text;
}

std::string JniHost::utf8(jstring s) const { return toUtf8(text(s)); }

std::string JniHost::modifiedUtf8(const std::u16string& text) {
    std::string out;
    for (char16_t u : text) {
        const unsigned c = u;
        if (c == 0)
            out += "\xC0\x80";
        else
            appendUtf8(&out, c);  // surrogates are encoded one by one, three bytes each
    }
    return out;
}

jclass JniHost::defineClass(const std::string& name, const std::vector<FieldSpec>& fields) {
    ClassInfo* c = state_->classNamed(name);
    for (const FieldSpec& f : fields) {
        bool known = false;
        for (const FieldSpec& g : c->fields) known = known || (g.name == f.name && g.signature == f.signature);
        if (known) continue;
        c->fields.push_back(f);
        c->fieldIds.push_back(FieldEntry{c, c->fields.size() - 1});
    }
    return static_cast<jclass>(state_->testRef(c->object));
}

void JniHost::setSuperclass(const std::string& className, const std::string& superName) {
    ClassInfo* c = state_->classNamed(className);
    ClassInfo* s = state_->classNamed(superName);
    if (State::assignable(s, c)) state_->die("setSuperclass: " + superName + " would make a cycle");
    c->super = s;
}

void JniHost::defineConstructor(const std::string& className, const std::string& signature, Constructor ctor) {
    ClassInfo* c = state_->classNamed(className);
    MethodEntry m{c, "<init>", signature, {}, std::move(ctor)};
    if (!parseParameters(signature, &m.parameters) || signature.back() != 'V')
        state_->die("defineConstructor: malformed signature " + signature);
    for (MethodEntry& e : c->methods) {
        if (e.name == m.name && e.signature == signature) {
            e.ctor = std::move(m.ctor);
            return;
        }
    }
    c->methods.push_back(std::move(m));
}

jobject JniHost::newObject(const std::string& className) {
    return state_->testRef(state_->newObjectOf(state_->classNamed(className), Kind::Instance));
}

namespace {
// The object's field of that name (and signature, unless null), its own
// class's first, then its superclasses'.
FieldValue* namedField(State& s, jobject obj, const std::string& name, const std::string* signature,
                       const FieldSpec** desc) {
    Object* o = s.resolveForTest(obj, "field");
    if (!o || o->kind != Kind::Instance) s.die("field: not an instance object");
    for (ClassInfo* k = o->cls; k; k = k->super) {
        for (size_t i = 0; i < k->fields.size(); ++i) {
            if (k->fields[i].name == name && (!signature || k->fields[i].signature == *signature)) {
                *desc = &k->fields[i];
                return &storage(o, &k->fieldIds[i]);
            }
        }
    }
    s.die("field: " + o->cls->name + " has no field " + name);
}
}  // namespace

void JniHost::setField(jobject obj, const std::string& name, jvalue value) {
    setFieldImpl(obj, name, nullptr, value);
}

void JniHost::setField(jobject obj, const std::string& name, const std::string& signature, jvalue value) {
    setFieldImpl(obj, name, &signature, value);
}

jvalue JniHost::field(jobject obj, const std::string& name) const { return fieldImpl(obj, name, nullptr); }

jvalue JniHost::field(jobject obj, const std::string& name, const std::string& signature) const {
    return fieldImpl(obj, name, &signature);
}

void JniHost::setFieldImpl(jobject obj, const std::string& name, const std::string* signature, jvalue value) {
    const FieldSpec* desc = nullptr;
    FieldValue* v = namedField(*state_, obj, name, signature, &desc);
    if (typeOf(desc->signature) == 'L') {
        v->object = state_->resolveForTest(value.l, "setField");
        memset(&v->value, 0, sizeof v->value);
    } else {
        v->value = value;
    }
}

jvalue JniHost::fieldImpl(jobject obj, const std::string& name, const std::string* signature) const {
    const FieldSpec* desc = nullptr;
    FieldValue* v = namedField(*state_, obj, name, signature, &desc);
    if (typeOf(desc->signature) != 'L') return v->value;
    jvalue out;
    memset(&out, 0, sizeof out);
    out.l = state_->testRef(v->object);
    return out;
}

std::string JniHost::className(jobject obj) const {
    const Object* o = state_->resolveForTest(obj, "className");
    return o ? o->cls->name : std::string();
}

jobjectArray JniHost::newStringArray(const std::vector<std::u16string>& items) {
    ClassInfo* string = state_->classNamed("java/lang/String");
    Object* a = state_->newObjectOf(state_->arrayClassOf(string), Kind::Array);
    a->elementClass = string;
    for (const auto& item : items) a->elements.push_back(state_->newStringObject(item));
    return static_cast<jobjectArray>(state_->testRef(a));
}

std::vector<jobject> JniHost::elements(jobjectArray array) const {
    const Object* a = state_->resolveForTest(array, "elements");
    if (!a || a->kind != Kind::Array) state_->die("elements: not an array");
    std::vector<jobject> out;
    for (Object* e : a->elements) out.push_back(state_->testRef(e));
    return out;
}

bool JniHost::exceptionPending() const { return state_->pending != nullptr; }

std::string JniHost::pendingClass() const { return state_->pending ? state_->pending->cls->name : std::string(); }

bool JniHost::pendingMessageIsNull() const { return state_->pending && !state_->pending->message; }

std::string JniHost::pendingMessage() const {
    return state_->pending && state_->pending->message ? toUtf8(state_->pending->message->text) : std::string();
}

void JniHost::clearException() { state_->pending = nullptr; }

void JniHost::throwNew(const std::string& className, const char* message) {
    if (message)
        state_->raise(className, std::string(message));
    else
        state_->raise(className, static_cast<const std::u16string*>(nullptr));
}

size_t JniHost::liveLocalReferences() const { return state_->liveLocals; }
size_t JniHost::maxLiveLocalReferences() const { return state_->maxLiveLocals; }

void JniHost::resetLocalReferenceCount() {
    for (Ref& r : state_->refs) r.counted = false;
    for (Frame& f : state_->frames) {
        f.count = 0;
        f.warned = false;
    }
    state_->liveLocals = 0;
    state_->maxLiveLocals = 0;
}

const std::vector<std::string>& JniHost::calls() const { return state_->calls; }
void JniHost::clearCalls() { state_->calls.clear(); }
size_t JniHost::unreleasedStringChars() const { return state_->pins.size(); }

std::vector<std::string> JniHost::jniErrors() const { return state_->errors; }
std::vector<std::string> JniHost::jniWarnings() const { return state_->warnings; }
std::vector<std::string> JniHost::fatalErrors() const { return state_->fatal; }
size_t JniHost::liveGlobalReferences() const { return state_->liveGlobals; }

}  // namespace jnihost
