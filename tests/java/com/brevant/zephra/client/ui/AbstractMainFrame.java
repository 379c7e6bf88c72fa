package com.brevant.zephra.client.ui;

/** Stand-in for the client's main window. */
public abstract class AbstractMainFrame {
    public native void nativeBringProcessToFront();
}
