package com.brevant.zephra.client.io;

/** Stand-in for one device channel on the Java side; m_Token names the native channel. */
public class Wirelet {
    private int m_Token;

    public native void nativeAttach(int token);
    public native void nativeDetach();
    public native int nativeGetInputPacketSize();
    public native int nativeGetOutputPacketSize();
    public native boolean nativeWriteReadPackets(Object[] outPackets, Object[] replyPackets, int timeoutMs);
    public native boolean nativeStartContinuousRead();
    public native boolean nativeStopContinuousRead();
    public native boolean nativeContinuousRead(Object packet);
}
