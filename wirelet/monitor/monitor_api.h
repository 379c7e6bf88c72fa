#pragma once
// The bodies of WinMain's command-monitor natives. The token is the monitor window's handle as
// a Java int, 0 for none. Calls of the token and destroy bodies must not overlap (the Java client
// makes them from one thread at a time). The bodies may throw std::bad_alloc; the exported
// functions run them through the JNI wall.

#include <jni.h>

namespace NWireletMonitor {

// The running monitor's token, whichever process owns it; otherwise creates this process's
// monitor for the receiver and returns its token. 0 for a null receiver, or when the monitor's
// thread cannot start or its window cannot be made. Never waits for long.
jint GetCommandMonitorToken(JNIEnv* env, jobject receiver);

// Whether the token's window belongs to this process. False for 0 and for dead windows.
bool IsCommandMonitorThisProcess(jint token);

// Sends the command to the token's monitor window and returns when the receiving monitor has
// handled it. Null strings count as empty. Does nothing for 0 or a window that is not a monitor.
void SendCommandToCommandMonitor(JNIEnv* env, jint token, jstring method, jstring argument);

// No effect.
void BringCommandMonitorProcessToFront(jint token);

// Asks the token's monitor window to stop, then ends this process's monitor (its thread gets a
// stop request too and is waited for up to 1000 ms) and forgets it. Nothing happens for 0.
// Called on the monitor thread itself (from a receiver method), it only requests the stop and
// leaves the ended monitor to be cleaned up by the next token or destroy call.
void DestroyCommandMonitor(JNIEnv* env, jint token);

}  // namespace NWireletMonitor
