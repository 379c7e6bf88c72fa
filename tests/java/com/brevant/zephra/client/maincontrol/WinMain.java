package com.brevant.zephra.client.maincontrol;

/** Stand-in for the client's main class: its entry point and the command monitor natives. */
public class WinMain {
    public static void main(String[] args) {}

    public static native int nativeGetCommandMonitorToken(Object receiver);
    public static native boolean nativeIsCommandMonitorThisProcess(int token);
    public static native void nativeSendCommandToCommandMonitor(int token, String method, String argument);
    public static native void nativeBringCommandMonitorProcessToFront(int token);
    public static native void nativeDestroyCommandMonitor(int token);
}
