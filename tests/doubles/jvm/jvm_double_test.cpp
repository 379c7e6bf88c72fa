// The JVM double must catch the faults it exists to catch: each case commits one and expects the
// violation (the list is read directly, so these cases do not route violations to ADD_FAILURE).

#include "doubles/jvm/jvm_double.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using jvm_double::Vm;

class JvmDouble : public ::testing::Test {
protected:
    void SetUp() override { jvm_double::clear_violations(); }

    // Violations since the last call, joined, then forgotten.
    std::string take_violations() {
        std::string all;
        for (const auto& v : jvm_double::violations()) all += v + "\n";
        jvm_double::clear_violations();
        return all;
    }
    void expect_violation(const std::string& fragment) {
        std::string all = take_violations();
        EXPECT_NE(all.find(fragment), std::string::npos) << "expected a violation with [" << fragment << "], got:\n"
                                                         << all;
    }
    void expect_clean() { EXPECT_EQ(take_violations(), ""); }

    Vm vm_;
};

TEST_F(JvmDouble, OnlyTheAllowedCallsMayFollowAPendingException) {
    vm_.call_native([&](JNIEnv* env) {
        jclass error = env->FindClass("java/lang/IllegalStateException");
        jstring s = env->NewStringUTF("x");
        env->ThrowNew(error, "boom");
        EXPECT_TRUE(env->ExceptionCheck());
        env->DeleteLocalRef(s);
        jthrowable t = env->ExceptionOccurred();
        expect_clean();
        env->FindClass("java/lang/String");
        expect_violation("FindClass: called with a Java exception pending");
        env->ExceptionClear();
        env->DeleteLocalRef(t);
        env->FindClass("java/lang/String");
        expect_clean();
    });
}

TEST_F(JvmDouble, AnEnvBelongsToItsThread) {
    JNIEnv* env = vm_.env();
    std::thread other([&] { env->FindClass("java/lang/String"); });
    other.join();
    expect_violation("used on another thread");
    std::thread unattached([&] { vm_.new_string(u"x"); });
    unattached.join();
    expect_violation("not attached");
}

TEST_F(JvmDouble, ByteArrayElementsAreCopiesWithStrictRelease) {
    jbyteArray array = vm_.new_byte_array({1, 2, 3});
    vm_.call_native([&](JNIEnv* env) {
        jbyte* p = env->GetByteArrayElements(array, nullptr);
        p[0] = 9;
        EXPECT_EQ(vm_.byte_array(array)[0], 1) << "elements must be a copy";
        env->ReleaseByteArrayElements(array, p, JNI_COMMIT);
        EXPECT_EQ(vm_.byte_array(array)[0], 9);
        p[1] = 8;
        env->ReleaseByteArrayElements(array, p, JNI_ABORT);
        EXPECT_EQ(vm_.byte_array(array)[1], 2);
        expect_clean();
        env->ReleaseByteArrayElements(array, p, 0);
        expect_violation("released twice");

        jbyte* q = env->GetByteArrayElements(array, nullptr);
        q[3] = 7;  // one past the end
        env->ReleaseByteArrayElements(array, q, 0);
        expect_violation("wrote past the end");

        env->GetByteArrayElements(array, nullptr);  // never released
    });
    expect_violation("native method return: byte array elements never released");

    vm_.call_native([&](JNIEnv* env) {
        const char* chars = env->GetStringUTFChars(vm_.new_string(u"abc"), nullptr);
        jbyte* other = env->GetByteArrayElements(array, nullptr);
        env->ReleaseByteArrayElements(array, reinterpret_cast<jbyte*>(const_cast<char*>(chars)), 0);
        expect_violation("wrong Release function");
        env->ReleaseStringUTFChars(nullptr, chars);
        take_violations();
        env->ReleaseByteArrayElements(array, other, 0);
    });
}

TEST_F(JvmDouble, LocalReferencesBeyondTheFrameCapacity) {
    vm_.call_native([&](JNIEnv* env) {
        for (int i = 0; i < 16; ++i) env->NewStringUTF("x");
        expect_clean();
        env->NewStringUTF("x");
    });
    expect_violation("exceed the frame's capacity of 16");

    vm_.call_native([&](JNIEnv* env) {
        ASSERT_EQ(env->EnsureLocalCapacity(40), JNI_OK);
        for (int i = 0; i < 39; ++i) env->NewStringUTF("x");  // one slot left for the loop below
        for (int i = 0; i < 100; ++i) env->DeleteLocalRef(env->NewStringUTF("y"));
    });
    expect_clean();

    jobject kept = nullptr;
    vm_.call_native([&](JNIEnv* env) {
        env->PushLocalFrame(4);
        kept = env->NewStringUTF("inner");
        jobject outer = env->PopLocalFrame(kept);
        env->GetStringLength(static_cast<jstring>(outer));
        expect_clean();
        env->GetStringLength(static_cast<jstring>(kept));
        expect_violation("after it was deleted or its frame was popped");
    });
}

TEST_F(JvmDouble, GlobalReferencesMustBeDeletedOnce) {
    jobject global = nullptr;
    vm_.call_native([&](JNIEnv* env) { global = env->NewGlobalRef(env->NewStringUTF("g")); });
    EXPECT_EQ(vm_.live_global_refs(), 1u);
    vm_.check_released("unload");
    expect_violation("unload: 1 global reference(s) still alive");
    vm_.call_native([&](JNIEnv* env) {
        env->DeleteGlobalRef(global);
        expect_clean();
        env->DeleteGlobalRef(global);
        expect_violation("deleted twice");
        jobject local = env->NewStringUTF("l");
        env->DeleteGlobalRef(local);
        expect_violation("a local reference passed");
    });
}

TEST_F(JvmDouble, NewStringUtfTakesOnlyModifiedUtf8) {
    vm_.call_native([&](JNIEnv* env) {
        jstring greek = env->NewStringUTF("\xCE\xB1\xCE\xB2");
        jstring nul = env->NewStringUTF(
            "a\xC0\x80"
            "b");
        expect_clean();
        EXPECT_EQ(vm_.string_value(greek), u"\u03B1\u03B2");
        EXPECT_EQ(vm_.string_value(nul), std::u16string(u"a\0b", 3));
        env->NewStringUTF("caf\xE9");  // ANSI, not UTF-8
        expect_violation("not valid modified UTF-8");
        env->NewStringUTF("\xF0\x9F\x98\x80");  // standard UTF-8's four-byte form
        expect_violation("not valid modified UTF-8");
        const char* back = env->GetStringUTFChars(nul, nullptr);
        EXPECT_STREQ(back,
                     "a\xC0\x80"
                     "b");
        env->ReleaseStringUTFChars(nul, back);
    });
    expect_clean();
}

TEST_F(JvmDouble, MethodsFieldsAndTheirTypes) {
    vm_.define_class("t/Counter")
        .int_field("m_Count")
        .method("add", "(I)I",
                [&](JNIEnv*, jobject self, const std::vector<jvalue>& args) {
                    jint n = vm_.int_field(self, "m_Count") + args[0].i;
                    vm_.set_int_field(self, "m_Count", n);
                    return jvm_double::int_result(n);
                })
        .method("fail", "()V", [&](JNIEnv*, jobject, const std::vector<jvalue>&) {
            vm_.throw_new("java/lang/IllegalArgumentException", "no");
            return jvm_double::void_result();
        });
    jobject counter = vm_.new_object("t/Counter");
    vm_.call_native([&](JNIEnv* env) {
        jclass cls = env->GetObjectClass(counter);
        jmethodID add = env->GetMethodID(cls, "add", "(I)I");
        EXPECT_EQ(env->CallIntMethod(counter, add, 5), 5);
        EXPECT_EQ(env->CallIntMethod(counter, add, 2), 7);
        jfieldID field = env->GetFieldID(cls, "m_Count", "I");
        env->SetIntField(counter, field, 40);
        EXPECT_EQ(env->GetIntField(counter, field), 40);
        expect_clean();

        env->CallBooleanMethod(counter, add, 1);
        expect_violation("returns I, not the type of CallBooleanMethod");
        env->CallIntMethod(env->NewStringUTF("s"), add, 1);
        expect_violation("called on a java/lang/String");

        EXPECT_EQ(env->GetMethodID(cls, "add", "(J)I"), nullptr);
        EXPECT_EQ(vm_.pending_exception_class(), "java/lang/NoSuchMethodError");
        env->ExceptionClear();

        env->CallVoidMethod(counter, env->GetMethodID(cls, "fail", "()V"));
        EXPECT_EQ(vm_.pending_exception_class(), "java/lang/IllegalArgumentException");
        env->ExceptionClear();
    });
    expect_clean();
}

TEST_F(JvmDouble, DestroyWaitsForAttachedNonDaemonThreads) {
    JavaVM* java_vm = vm_.java_vm();
    std::atomic<bool> detached{false};
    std::atomic<bool> attached{false};
    std::thread worker([&] {
        JNIEnv* env = nullptr;
        ASSERT_EQ(java_vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr), JNI_OK);
        attached = true;
        Sleep(300);
        detached = true;
        java_vm->DetachCurrentThread();
    });
    while (!attached) Sleep(5);
    JNIEnv* env = nullptr;
    EXPECT_EQ(java_vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2), JNI_OK);
    EXPECT_EQ(vm_.non_daemon_threads(), 2);
    java_vm->DestroyJavaVM();
    EXPECT_TRUE(detached) << "DestroyJavaVM returned while a non-daemon thread was attached";
    worker.join();
    expect_clean();
}

TEST(JvmDoubleNames, NativeExportNamesFollowJniMangling) {
    EXPECT_EQ(jvm_double::native_export_name("com/brevant/zephra/client/io/Wirelet", "nativeAttach"),
              "Java_com_brevant_zephra_client_io_Wirelet_nativeAttach");
    EXPECT_EQ(jvm_double::native_export_name("a/b_c", "m_x"), "Java_a_b_1c_m_1x");
    EXPECT_EQ(jvm_double::native_export_name("p/\xC3\xA9", "m"), "Java_p__000e9_m");
}

}  // namespace
