/* Machine-dependent JNI types for Windows (32-bit and 64-bit), used with the JDK's jni.h when building
 * with MinGW-w64 on a non-Windows host (the host JDK ships its own platform's jni_md.h). */
#ifndef ZEPHRA_JNI_MD_H
#define ZEPHRA_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
