#pragma once
// The bodies of WinMain's command-monitor natives. The token is the monitor window's handle as
// a Java int, 0 for none. Calls of the token and destroy bodies must not overlap (the Java client
// makes them from one thread at a time). The bodies may throw std::bad_alloc; the exported
// functions run them through the JNI wall.

#include <jni.h>
#include <windows.h>

namespace NWireletMonitor {

// Held around "find the monitor window, else create one", so that two launches at the same
// moment give one primary instance. In the session's namespace: one primary per desktop session.
extern const char kInstanceMutexName[];
// How long a send waits for the receiving monitor to handle the command.
constexpr DWORD kSendTimeoutMs = 60000;

// The running monitor's token, whichever process owns it; otherwise creates this process's
// monitor for the receiver and returns its token. 0 for a null receiver, or when the monitor's
// thread cannot start or its window cannot be made. The look-up and the creation hold the
// session's instance mutex. Never waits for long.
jint GetCommandMonitorToken(JNIEnv* env, jobject receiver);

// Whether the token's window belongs to this process. False for 0 and for dead windows.
bool IsCommandMonitorThisProcess(jint token);

// Sends the command to the token's monitor window and returns when the receiving monitor has
// handled it: true then. Null strings count as empty. False, having sent nothing, for 0, a window
// that is not a monitor, or a retired one; false when the monitor was let go of before it took
// the command, or has not handled it within timeoutMs (a busy monitor is waited for that long).
bool SendCommandToCommandMonitor(JNIEnv* env, jint token, jstring method, jstring argument,
                                 DWORD timeoutMs = kSendTimeoutMs);

// No effect.
void BringCommandMonitorProcessToFront(jint token);

// Asks the token's monitor window to stop, then ends this process's monitor (its thread gets a
// stop request too and is waited for up to 1000 ms) and forgets it. Nothing happens for 0. Once it
// returns, no token call in any process takes this process's monitor window, and no command
// reaches its receiver; one being handled finishes.
// A thread still running after that (a receiver method that has not returned, or a call made on
// the monitor thread itself) is never ended by force: it finishes the command, releases the
// receiver and detaches by itself, and a later token or destroy call deletes the monitor.
void DestroyCommandMonitor(JNIEnv* env, jint token);

}  // namespace NWireletMonitor
