#pragma once
// The library's one channel manager, created by JNI_OnLoad and deleted by JNI_OnUnload; null
// outside that time (or when its creation failed).

class CWireletManager;

namespace NWireletJni {

CWireletManager* LibraryManager();

}  // namespace NWireletJni
