package com.brevant.zephra.client.maincontrol;

/** Stand-in for the client's controller: browser launch and window search. */
public class MainControl {
    public native boolean nativeDoesWindowWithPartialTitleExist(String partialTitle, boolean bringToFront);
    public native boolean nativeLaunchBrowserWithUrl(String url, boolean useShell);
}
