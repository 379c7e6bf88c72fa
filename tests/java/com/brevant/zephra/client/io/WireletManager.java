package com.brevant.zephra.client.io;

/** Stand-in for the client's device discovery: the library calls AddCandidateIoPipe per channel. */
public class WireletManager {
    public native void nativeGetCandidateIoPipes();

    public void AddCandidateIoPipe(int token) {}
}
