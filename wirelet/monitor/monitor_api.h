#pragma once
// The bodies of WinMain's command-monitor natives. The token is the monitor window's handle as
// a Java int, 0 for none. The token and destroy bodies may be called from any thread, a receiver
// on the monitor thread included: they take turns. The bodies may throw std::bad_alloc; the exported
// functions run them through the JNI wall.

#include <jni.h>
#include <windows.h>

namespace NWireletMonitor {

// Held around "find the monitor window, else create one", so that two launches at the same
// moment give one primary instance. In the session's namespace: one primary per desktop session.
extern const char kInstanceMutexName[];
// How long a send waits for the receiving monitor's window to take the command. The window copies
// each command and answers at once, whatever its receiver is doing: only a window that truly stops
// answering makes a send wait this long.
constexpr DWORD kSendTimeoutMs = 10000;

// The running monitor's token, whichever process owns it, as long as that process runs as the same
// user at the same integrity level (another's monitor is passed over); otherwise creates this
// process's monitor for the receiver and returns its token. Never a retired monitor's, this
// process's own included. 0 for a null receiver, or when the monitor's events or threads cannot
// be made or its window does not come within a bounded wait. The look-up and the creation hold
// the session's instance mutex. Never waits for long.
jint GetCommandMonitorToken(JNIEnv* env, jobject receiver);

// Whether the token's window belongs to this process. False for 0 and for dead windows.
bool IsCommandMonitorThisProcess(jint token);

// Sends the command to the token's monitor window and returns once the monitor has taken it: true
// then, and its receiver runs it in turn, after the commands taken before it. Null strings count
// as empty. False, having sent nothing, for 0, a window that is not a monitor, or a retired one;
// false when the monitor was let go of before it took the command, refused it (its queue is full),
// or did not answer within timeoutMs.
bool SendCommandToCommandMonitor(JNIEnv* env, jint token, jstring method, jstring argument,
                                 DWORD timeoutMs = kSendTimeoutMs);

// No effect.
void BringCommandMonitorProcessToFront(jint token);

// Asks the token's monitor window to stop, then ends this process's monitor and forgets it.
// Nothing happens for 0. Once it returns, this process's monitor takes no command, no token call in
// any process takes its window, and the window is gone (its thread never calls into Java, and is
// waited for up to 1000 ms); the commands it took before still run.
// The monitor thread is waited for up to 1000 ms as well, and is never ended by force: still inside
// a receiver (or being the calling thread itself), it runs what was taken, releases the receiver
// and detaches by itself, and a later token or destroy call deletes the monitor.
void DestroyCommandMonitor(JNIEnv* env, jint token);

// For the library's unload: stops every monitor of this process and waits, bounded, for their
// threads to end. A thread still inside a receiver after that keeps the library loaded until it
// has left it. The monitors are forgotten.
void StopCommandMonitorsForUnload(JavaVM* vm);

}  // namespace NWireletMonitor
