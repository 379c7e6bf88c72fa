// A second client process for the cross-process monitor tests. It hosts its own JVM double with
// the real Wirelet.dll and runs the actions given on its command line in order, appending one
// line per action to OUT (UTF-8), so the first process can follow it while it runs:
//
//   monitor_peer OUT action...
//     token              token call with a receiver of its own     -> "token N"
//     this               process test on the token                 -> "this 0|1"
//     send M A           send command M with argument A            -> "sent M"
//     sendnull M         send command M with a null argument       -> "sent M"
//     raw TAG HEX        WM_COPYDATA with dwData TAG and the bytes  -> "sent raw"
//     find               the monitor window found by class name    -> "find N" (no VM call)
//     close              WM_CLOSE to the token's window            -> "closed"
//     destroy            destroy call on the token                 -> "destroyed"
//     stop               posts the stop message to the window      -> "stop posted"
//     findany            any window of the monitor class, a retired one too -> "findany N" (no VM call)
//     fakedestroy        WM_DESTROY sent to the window, as from outside -> "faked WM_DESTROY"
//     fakencdestroy      WM_NCDESTROY sent to the window, as from outside -> "faked WM_NCDESTROY"
//     mark               the window marked retired, as a destroy call of another process does
//                        before its stop request arrives        -> "marked"
//     retired            whether the window bears the retired mark -> "retired 0|1"
//     timedsend M A      send M A, timed                           -> "sent M in N ms"
//     broadcast          WM_SETTINGCHANGE to every top-level window (HWND_BROADCAST), timed
//                                                                  -> "broadcast N ms"
//     holdself MS        sends "Hold" to its own monitor from a thread of its own and goes on once
//                        the receiver is inside it (it then holds MS ms) -> "holding"
//     unload             JNI_OnUnload and the library unloaded, then -> "unloaded threads=T window=W
//                        module=M": attached non-daemon threads, whether a monitor window and
//                        Wirelet.dll are left; no later action may call a native
//     hostile N SEED     N hostile WM_COPYDATA messages to the token's window, with a valid
//                        "Valid" command ("valid-K") after every 50th -> "hostile K" (valid ones sent)
//     go NAME            waits (up to 30 s) for the named event, so that peers start together -> "go"
//     race A MS          token call; the primary ("primary") waits up to MS for a command, then
//                        destroys its monitor; any other sends Open A ("secondary")
//
// Its receiver's "Open" method appends "peer-received A"; "Hold" appends "hold-start", waits its
// time and appends "hold-end". Exit code 0, or 2 when the JVM
// double saw a JNI violation (each one is appended as "violation ..."), 3 for a bad command line.
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "doubles/jvm/jvm_double.h"
#include "support/process.h"
#include "wirelet_monitor_client.h"

namespace {

std::wstring g_Out;
// The window property by which every process tells a monitor window that was let go of.
const char kRetiredProperty[] = "Brevant_Zephra_Remote_CommandMonitor::Retired";

void Log(const std::string& line) {
    HANDLE file = CreateFileW(g_Out.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

LRESULT SendData(HWND window, ULONG_PTR tag, const std::string& bytes) {
    COPYDATASTRUCT data{tag, static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : (void*)bytes.data()};
    return SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

DWORD WINAPI SendHold(void* window) {
    SendData(static_cast<HWND>(window), 1, std::string("Hold\0x\0", 7));
    return 0;
}

std::string FromHex(const std::wstring& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

// Payloads meant to hurt: any length up to 64 KiB, zero bytes or none, broken UTF-8 sequences,
// long runs of lead bytes, names that nearly match.
std::string HostilePayload(std::mt19937& random) {
    std::size_t length;
    switch (random() % 4) {
        case 0:
            length = random() % 16;
            break;
        case 1:
            length = random() % 512;
            break;
        case 2:
            length = random() % 65537;
            break;
        default:
            length = 65536 - random() % 64;
            break;
    }
    std::string bytes(length, '\0');
    int style = random() % 4;
    for (char& b : bytes) {
        switch (style) {
            case 0:
                b = static_cast<char>(random());
                break;  // anything
            case 1:
                b = static_cast<char>(0x80 | (random() & 0x7F));
                break;  // no zero, no ASCII
            case 2:
                b = static_cast<char>(random() % 3 == 0 ? 0xED : 0xA0 + random() % 32);
                break;  // surrogate bits
            default:
                b = static_cast<char>(1 + random() % 255);
                break;  // no zero byte
        }
    }
    if (random() % 3 == 0 && length > 8) {
        static const char* names[] = {"Valid", "valid", "Open", "<init>", "Valid\xff", "Vali"};
        std::string name = names[random() % 6];
        std::string prefix = name + '\0';
        for (std::size_t k = 0; k < prefix.size() && k < bytes.size(); ++k) bytes[k] = prefix[k];
    }
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 3;
    g_Out = argv[1];
    jvm_double::set_violation_handler([](const std::string& text) { Log("violation " + text); });
    jvm_double::Vm vm(monitor_client::WireletVmOptions());
    HANDLE received = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD holdMs = 0;
    vm.define_class("peer/Receiver")
        .method("Open", monitor_client::kCommandDescriptor,
                [&vm, received](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                    Log("peer-received " + vm.string_utf8(args[0].l));
                    SetEvent(received);
                    return jvm_double::void_result();
                })
        .method("Hold", monitor_client::kCommandDescriptor,
                [holding, &holdMs](JNIEnv*, jobject, const std::vector<jvalue>&) {
                    Log("hold-start");
                    SetEvent(holding);
                    Sleep(holdMs);
                    Log("hold-end");
                    return jvm_double::void_result();
                });
    int code = 0;
    HANDLE holder = nullptr;
    {
        auto loaded = std::make_unique<monitor_client::CWireletNatives>(vm);
        monitor_client::CWireletNatives& natives = *loaded;
        jint token = 0;
        HWND window = nullptr;
        for (int i = 2; i < argc; ++i) {
            std::wstring action = argv[i];
            auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
            if (action == L"token") {
                token = natives.Token("peer/Receiver");
                window = reinterpret_cast<HWND>(static_cast<INT_PTR>(token));
                Log("token " + std::to_string(token));
            } else if (action == L"this") {
                Log(std::string("this ") + (natives.IsThisProcess(token) ? "1" : "0"));
            } else if (action == L"send") {
                std::wstring method = next();
                std::u16string argument = U16(next());
                natives.Send(token, U16(method), &argument);
                Log("sent " + zephra_test::narrow(method));
            } else if (action == L"sendnull") {
                std::wstring method = next();
                natives.Send(token, U16(method), nullptr);
                Log("sent " + zephra_test::narrow(method));
            } else if (action == L"raw") {
                ULONG_PTR tag = std::wcstoul(next().c_str(), nullptr, 10);
                SendData(window, tag, FromHex(next()));
                Log("sent raw");
            } else if (action == L"find") {
                window = FindWindowA(monitor_client::kMonitorClassName, nullptr);
                token = static_cast<jint>(reinterpret_cast<INT_PTR>(window));
                Log("find " + std::to_string(token));
            } else if (action == L"close") {
                SendMessageA(window, WM_CLOSE, 0, 0);
                Log("closed");
            } else if (action == L"destroy") {
                natives.Destroy(token);
                Log("destroyed");
            } else if (action == L"stop") {
                PostMessageA(window, WM_USER + 1, 0, 0);
                Log("stop posted");
            } else if (action == L"findany") {
                window = FindWindowExA(nullptr, nullptr, monitor_client::kMonitorClassName, nullptr);
                token = static_cast<jint>(reinterpret_cast<INT_PTR>(window));
                Log("findany " + std::to_string(token));
            } else if (action == L"fakedestroy") {
                SendMessageA(window, WM_DESTROY, 0, 0);
                Log("faked WM_DESTROY");
            } else if (action == L"fakencdestroy") {
                SendMessageA(window, WM_NCDESTROY, 0, 0);
                Log("faked WM_NCDESTROY");
            } else if (action == L"mark") {
                SetPropA(window, kRetiredProperty, reinterpret_cast<HANDLE>(1));
                Log("marked");
            } else if (action == L"retired") {
                Log(std::string("retired ") + (GetPropA(window, kRetiredProperty) != nullptr ? "1" : "0"));
            } else if (action == L"timedsend") {
                std::wstring method = next();
                std::u16string argument = U16(next());
                const DWORD start = GetTickCount();
                natives.Send(token, U16(method), &argument);
                Log("sent " + zephra_test::narrow(method) + " in " + std::to_string(GetTickCount() - start) + " ms");
            } else if (action == L"broadcast") {
                const DWORD start = GetTickCount();
                DWORD_PTR result = 0;
                SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("ZephraMonitorTest"),
                                    SMTO_NORMAL, 30000, &result);
                Log("broadcast " + std::to_string(GetTickCount() - start) + " ms");
            } else if (action == L"holdself") {
                holdMs = std::wcstoul(next().c_str(), nullptr, 10);
                holder = CreateThread(nullptr, 0, &SendHold, window, 0, nullptr);
                if (holder == nullptr || WaitForSingleObject(holding, 10000) != WAIT_OBJECT_0) code = 3;
                Log("holding");
            } else if (action == L"unload") {
                loaded.reset();  // JNI_OnUnload, then FreeLibrary
                Log("unloaded threads=" + std::to_string(vm.non_daemon_threads()) +
                    " window=" + (FindWindowA(monitor_client::kMonitorClassName, nullptr) ? "1" : "0") +
                    " module=" + (GetModuleHandleW(L"Wirelet.dll") ? "1" : "0"));
            } else if (action == L"hostile") {
                int count = static_cast<int>(std::wcstol(next().c_str(), nullptr, 10));
                std::mt19937 random(static_cast<unsigned>(std::wcstoul(next().c_str(), nullptr, 10)));
                int valid = 0;
                for (int n = 0; n < count; ++n) {
                    if (random() % 20 == 0) {
                        SendMessageA(window, WM_COPYDATA, 0, 0);  // no COPYDATASTRUCT at all
                    } else {
                        ULONG_PTR tag = random() % 4 == 0 ? random() : 1;
                        SendData(window, tag, HostilePayload(random));
                    }
                    if (n % 50 == 49) {
                        std::string text = "valid-" + std::to_string(valid++);
                        SendData(window, 1, std::string("Valid") + '\0' + text + '\0');
                    }
                }
                Log("hostile " + std::to_string(valid));
            } else if (action == L"go") {
                HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, next().c_str());
                if (go == nullptr || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) code = 3;
                if (go != nullptr) CloseHandle(go);
                Log("go");
            } else if (action == L"race") {
                std::u16string argument = U16(next());
                DWORD waitMs = std::wcstoul(next().c_str(), nullptr, 10);
                token = natives.Token("peer/Receiver");
                if (natives.IsThisProcess(token)) {
                    Log("primary");
                    WaitForSingleObject(received, waitMs);
                    natives.Destroy(token);
                } else {
                    natives.Send(token, u"Open", &argument);
                    Log("secondary");
                }
            } else {
                Log("unknown action " + zephra_test::narrow(action));
                code = 3;
                break;
            }
        }
    }
    if (holder != nullptr) {
        WaitForSingleObject(holder, 60000);
        CloseHandle(holder);
    }
    if (code == 0 && !jvm_double::violations().empty()) code = 2;
    return code;
}
