// The JNI test host itself: the natives' tests are only as good as the VM it
// stands in for, so its strings, references, constructors and JNI-error
// checks are pinned down here.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>

#include "jnihost.h"

namespace {

using jnihost::JniHost;

// Calls NewObjectV the way a native's variadic helper does.
jobject newObjectVia(JNIEnv* env, jclass cls, jmethodID ctor, ...) {
    va_list args;
    va_start(args, ctor);
    jobject o = env->NewObjectV(cls, ctor, args);
    va_end(args);
    return o;
}

TEST(JniHost, EveryTableSlotIsFilled) {
    JniHost host;
    const void* const* slots = reinterpret_cast<const void* const*>(host.env()->functions);
    const size_t count = sizeof(JNINativeInterface_) / sizeof(void*);
    for (size_t i = 4; i < count; ++i) EXPECT_NE(nullptr, slots[i]) << "slot " << i;
}

TEST(JniHost, StringsCrossAsModifiedUtf8BothWays) {
    struct Case {
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"", ""},
        {u"plain", "plain"},
        {std::u16string(u"a\0b", 3), "a\xC0\x80" "b"},          // U+0000 in its two-byte form
        {u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},              // two- and three-byte forms
        {u"\U0001F600", "\xED\xA0\xBD\xED\xB8\x80"},            // a surrogate pair, three bytes each
    };
    for (const Case& c : cases) {
        JniHost host;
        JNIEnv* env = host.env();
        EXPECT_EQ(c.bytes, JniHost::modifiedUtf8(c.text));
        jstring s = host.newString(c.text);
        EXPECT_EQ(static_cast<jsize>(c.bytes.size()), env->GetStringUTFLength(s));
        const char* chars = env->GetStringUTFChars(s, nullptr);
        ASSERT_NE(nullptr, chars);
        EXPECT_EQ(c.bytes, std::string(chars));
        EXPECT_EQ(1u, host.unreleasedStringChars());
        env->ReleaseStringUTFChars(s, chars);
        EXPECT_EQ(0u, host.unreleasedStringChars());

        jstring back = env->NewStringUTF(c.bytes.c_str());
        EXPECT_EQ(c.text, host.text(back));
        char region[32];
        env->GetStringUTFRegion(s, 0, static_cast<jsize>(c.text.size()), region);
        EXPECT_EQ(c.bytes, std::string(region));
        EXPECT_TRUE(host.jniErrors().empty());
    }
}

TEST(JniHost, StandardUtf8OfTestStrings) {
    JniHost host;
    jstring s = host.newStringUtf8("x\xF0\x9F\x98\x80\xC3\xA9");
    EXPECT_EQ(u"x\U0001F600\u00E9", host.text(s));
    EXPECT_EQ("x\xF0\x9F\x98\x80\xC3\xA9", host.utf8(s));
}

TEST(JniHost, CharactersReleasedWronglyAreJniErrors) {
    JniHost host;
    JNIEnv* env = host.env();
    jstring a = host.newString(u"a");
    jstring b = host.newString(u"b");
    const char* chars = env->GetStringUTFChars(a, nullptr);
    env->ReleaseStringUTFChars(b, chars);  // released against another string
    const jchar* wide = env->GetStringChars(a, nullptr);
    env->ReleaseStringUTFChars(a, reinterpret_cast<const char*>(wide));  // wrong release function
    const char stray[] = "x";
    env->ReleaseStringUTFChars(a, stray);  // never obtained
    EXPECT_EQ(3u, host.jniErrors().size());
    EXPECT_EQ(0u, host.unreleasedStringChars());
}

TEST(JniHost, CallsWithAnExceptionPendingAreRecordedExceptTheSafeOnes) {
    JniHost host;
    JNIEnv* env = host.env();
    jstring s = host.newString(u"x");
    const char* chars = env->GetStringUTFChars(s, nullptr);
    jclass npe = env->FindClass("java/lang/NullPointerException");
    ASSERT_EQ(0, env->ThrowNew(npe, "boom"));

    // Safe with an exception pending.
    EXPECT_TRUE(env->ExceptionCheck());
    jthrowable pending = env->ExceptionOccurred();
    env->DeleteLocalRef(pending);
    env->DeleteLocalRef(npe);
    env->DeleteLocalRef(nullptr);
    env->ReleaseStringUTFChars(s, chars);
    EXPECT_TRUE(host.jniErrors().empty());

    // Not safe.
    env->FindClass("java/lang/String");
    ASSERT_EQ(1u, host.jniErrors().size());
    EXPECT_NE(std::string::npos, host.jniErrors()[0].find("FindClass called with an exception pending"));
    EXPECT_EQ("java/lang/NullPointerException", host.pendingClass());
}

TEST(JniHost, ThrowNewKeepsClassAndMessageOrItsAbsence) {
    JniHost host;
    JNIEnv* env = host.env();
    jclass ioe = env->FindClass("java/io/IOException");
    env->ThrowNew(ioe, "Can't set new path.");
    EXPECT_EQ("java/io/IOException", host.pendingClass());
    EXPECT_EQ("Can't set new path.", host.pendingMessage());
    EXPECT_FALSE(host.pendingMessageIsNull());
    env->ExceptionClear();
    EXPECT_FALSE(host.exceptionPending());
    env->ThrowNew(ioe, nullptr);
    EXPECT_TRUE(host.pendingMessageIsNull());

    host.clearException();
    jclass plain = host.defineClass("com/example/Plain");
    EXPECT_NE(0, env->ThrowNew(plain, "x"));
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(1u, host.jniErrors().size()) << "only Throwables can be thrown";
}

TEST(JniHost, LocalReferencesAreCountedUntilDeletedOrTheirFramePops) {
    JniHost host;
    JNIEnv* env = host.env();
    jclass a = env->FindClass("java/lang/String");
    jclass b = env->FindClass("java/lang/String");
    EXPECT_NE(a, b) << "every reference is distinct";
    EXPECT_TRUE(env->IsSameObject(a, b));
    EXPECT_EQ(2u, host.liveLocalReferences());
    env->DeleteLocalRef(a);
    EXPECT_EQ(1u, host.liveLocalReferences());
    EXPECT_EQ(2u, host.maxLiveLocalReferences());

    ASSERT_EQ(0, env->PushLocalFrame(4));
    env->NewLocalRef(b);
    jobject kept = env->NewStringUTF("kept");
    jobject survivor = env->PopLocalFrame(kept);
    EXPECT_EQ(2u, host.liveLocalReferences()) << "b and the survivor";
    EXPECT_EQ(u"kept", host.text(static_cast<jstring>(survivor)));

    env->DeleteLocalRef(a);  // twice
    EXPECT_EQ(1u, host.jniErrors().size());
    env->GetSuperclass(a);  // use after delete
    EXPECT_EQ(2u, host.jniErrors().size());

    host.resetLocalReferenceCount();
    EXPECT_EQ(0u, host.liveLocalReferences());
    EXPECT_EQ(0u, host.maxLiveLocalReferences());
    EXPECT_EQ("java/lang/String", host.className(survivor)) << "still usable by the test";
}

TEST(JniHost, MoreLiveLocalsThanTheFrameHoldsIsAWarningUnlessReserved) {
    JniHost host;
    JNIEnv* env = host.env();
    for (int i = 0; i < 16; ++i) env->NewStringUTF("x");
    EXPECT_TRUE(host.jniWarnings().empty());
    ASSERT_EQ(0, env->EnsureLocalCapacity(1));
    env->NewStringUTF("x");
    EXPECT_TRUE(host.jniWarnings().empty());
    env->NewStringUTF("x");
    EXPECT_EQ(1u, host.jniWarnings().size());
}

TEST(JniHost, ConstructorsReceiveTheirArgumentsPerSignature) {
    JniHost host;
    JNIEnv* env = host.env();
    std::vector<jvalue> seen;
    host.defineConstructor("com/example/Thing", "(IJD[Ljava/lang/String;ZLjava/lang/String;)V",
                           [&](jobject, const std::vector<jvalue>& args) { seen = args; });
    jobjectArray array = host.newStringArray({u"a"});
    jclass cls = env->FindClass("com/example/Thing");
    jmethodID ctor = env->GetMethodID(cls, "<init>", "(IJD[Ljava/lang/String;ZLjava/lang/String;)V");
    ASSERT_NE(nullptr, ctor);
    jobject o = newObjectVia(env, cls, ctor, static_cast<jint>(-7), static_cast<jlong>(1) << 40, 2.5, array,
                             JNI_TRUE, static_cast<jobject>(nullptr));
    ASSERT_NE(nullptr, o);
    EXPECT_EQ("com/example/Thing", host.className(o));
    ASSERT_EQ(6u, seen.size());
    EXPECT_EQ(-7, seen[0].i);
    EXPECT_EQ(static_cast<jlong>(1) << 40, seen[1].j);
    EXPECT_EQ(2.5, seen[2].d);
    EXPECT_EQ(array, seen[3].l) << "references pass unchanged";
    EXPECT_EQ(JNI_TRUE, seen[4].z);
    EXPECT_EQ(nullptr, seen[5].l);

    EXPECT_EQ(nullptr, env->GetMethodID(cls, "<init>", "()V"));
    EXPECT_EQ("java/lang/NoSuchMethodError", host.pendingClass());
}

TEST(JniHost, AConstructorThatThrowsYieldsNullWithItsException) {
    JniHost host;
    JNIEnv* env = host.env();
    host.defineConstructor("com/example/Failing", "()V", [&](jobject, const std::vector<jvalue>&) {
        host.throwNew("java/io/IOException", "cannot start");
    });
    jclass cls = env->FindClass("com/example/Failing");
    jmethodID ctor = env->GetMethodID(cls, "<init>", "()V");
    EXPECT_EQ(nullptr, newObjectVia(env, cls, ctor));
    EXPECT_EQ("java/io/IOException", host.pendingClass());
    EXPECT_EQ("cannot start", host.pendingMessage());
}

TEST(JniHost, FieldsAreFoundByNameAndSignatureAndReadWithTheirOwnGetter) {
    JniHost host;
    JNIEnv* env = host.env();
    host.defineClass("com/example/P", {{"handle", "J"}});
    jobject p = host.newObject("com/example/P");
    jvalue v;
    memset(&v, 0, sizeof v);
    v.j = 0x123456789LL;
    host.setField(p, "handle", v);

    jclass cls = env->GetObjectClass(p);
    EXPECT_EQ(nullptr, env->GetFieldID(cls, "handle", "I"));
    EXPECT_EQ("java/lang/NoSuchFieldError", host.pendingClass());
    env->ExceptionClear();
    jfieldID id = env->GetFieldID(cls, "handle", "J");
    ASSERT_NE(nullptr, id);
    EXPECT_EQ(0x123456789LL, env->GetLongField(p, id));
    EXPECT_TRUE(host.jniErrors().empty());
    EXPECT_EQ(0, env->GetIntField(p, id));
    EXPECT_EQ(1u, host.jniErrors().size()) << "an int getter on a long field";

    host.failures().acceptAnySignature = true;
    EXPECT_EQ(id, env->GetFieldID(cls, "handle", "Q"));
}

TEST(JniHost, FatalErrorReachesTheTestAsAnException) {
    JniHost host;
    try {
        host.env()->FatalError("the end");
        FAIL() << "FatalError returned";
    } catch (const JniHost::FatalErrorCalled& e) {
        EXPECT_EQ("the end", e.message);
    }
    EXPECT_EQ(std::vector<std::string>{"the end"}, host.fatalErrors());
}

TEST(JniHost, InjectedFailuresGiveNullWithOutOfMemoryPending) {
    JniHost host;
    JNIEnv* env = host.env();
    jstring s = host.newString(u"x");
    host.failures().getStringUTFCharsFailAfter = 1;
    const char* first = env->GetStringUTFChars(s, nullptr);
    ASSERT_NE(nullptr, first);
    env->ReleaseStringUTFChars(s, first);
    EXPECT_EQ(nullptr, env->GetStringUTFChars(s, nullptr));
    EXPECT_EQ("java/lang/OutOfMemoryError", host.pendingClass());
    host.clearException();

    host.failures().findClass = true;
    EXPECT_EQ(nullptr, env->FindClass("java/lang/String"));
    EXPECT_EQ("java/lang/NoClassDefFoundError", host.pendingClass());
    EXPECT_TRUE(host.jniErrors().empty());
}

using JniHostDeathTest = ::testing::Test;

TEST_F(JniHostDeathTest, FaultsThatLeaveNothingToTestAbortLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    JniHost host;
    JNIEnv* env = host.env();
    jobjectArray array = host.newStringArray({u"a", u"b"});
    EXPECT_DEATH(env->MonitorEnter(array), "MonitorEnter is not implemented");
    EXPECT_DEATH(env->NewStringUTF("\xE9t\xE9"), "not modified UTF-8");
    EXPECT_DEATH(env->NewStringUTF("\xF0\x9F\x98\x80"), "not modified UTF-8");
    EXPECT_DEATH(env->GetObjectArrayElement(array, 2), "index 2 out of range");
    EXPECT_DEATH(env->SetObjectArrayElement(array, -1, nullptr), "index -1 out of range");
}

}  // namespace
