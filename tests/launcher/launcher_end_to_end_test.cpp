// The real ZephraClient.exe under Wine, in a directory laid out like an installation, with the jvm.dll
// double as its Java runtime. The double writes down what it saw; failures are read off the one
// message box, which the test answers.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "doubles/jvm/record.h"
#include "support/gui_process.h"
#include "support/process.h"

namespace {

using namespace zephra_test;

const wchar_t kTitle[] = L"Brevant Zephra Remote Client";
const char kKey[] = "SOFTWARE\\Brevant\\Zephra Remote";
const char kFirstLine[] = "Fatal exception caught executing JVM runtime:\n";
const char kMainClass[] = "com/brevant/zephra/client/maincontrol/WinMain";
const char kClassPath[] =
    "zephraclient.jar;jrex.jar;dom4j-1.4.jar;log4j-1.2.8.jar;commons-logging-1.0.4.jar;"
    "commons-httpclient-2.0.2.jar;md5.jar;registry.jar";

struct event {
    std::string name;
    std::string text;
};

std::vector<event> read_record(const std::wstring& path) {
    std::vector<event> events;
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t space = line.find(' ');
        event e{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
        e.text = jvm_double::unescape_record_text(e.text);
        events.push_back(e);
    }
    return events;
}

std::vector<std::string> texts_of(const std::vector<event>& events, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.name == name) out.push_back(e.text);
    }
    return out;
}

// Position of the first event with this name (and text, when given); -1 when absent.
int position(const std::vector<event>& events, const std::string& name, const std::string& text = "") {
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].name == name && (text.empty() || events[i].text == text)) return static_cast<int>(i);
    }
    return -1;
}

// Sets an environment variable for the children started from now on, and takes it back afterwards.
class scoped_env {
public:
    scoped_env(const std::wstring& name, const std::wstring& value) : name_(name) { set_env(name, value); }
    ~scoped_env() { SetEnvironmentVariableW(name_.c_str(), nullptr); }

private:
    std::wstring name_;
};

// The machine-wide configuration key in one registry view (the 32-bit one, where a 32-bit
// installation keeps it, unless told otherwise); the tests that write it hold a ctest resource
// lock. Whatever the key held before is put back at the end.
class machine_key {
public:
    explicit machine_key(REGSAM view = KEY_WOW64_32KEY) : view_(view) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | view_, &key) == ERROR_SUCCESS) {
            existed_ = true;
            for (const char* name : {"InstallPath", "JREVersion"}) {
                char data[1024];
                DWORD size = sizeof data;
                DWORD type = 0;
                if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
                    ERROR_SUCCESS) {
                    saved_.push_back({name, std::string(data, size)});
                }
            }
            RegCloseKey(key);
        }
        remove();
    }
    ~machine_key() {
        remove();
        if (existed_) {
            for (const auto& value : saved_) set(value.first.c_str(), value.second, false);
            if (saved_.empty()) create();
        }
    }
    void remove() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, view_, 0); }
    void create() {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, &key, nullptr);
        RegCloseKey(key);
    }
    void set(const char* name, const std::string& text, bool terminate = true) {
        HKEY key;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        std::string data = terminate ? text + '\0' : text;
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

private:
    REGSAM view_;
    bool existed_ = false;
    std::vector<std::pair<std::string, std::string>> saved_;
};

struct run_result {
    bool ended = false;
    DWORD exit_code = 0;
    bool box_shown = false;
    std::string box_text;  // UTF-8
    int boxes = 0;         // boxes with the title seen at once
    std::vector<event> record;
};

class LauncherEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = root_ / L"Zephra Remote";
        ASSERT_TRUE(CreateDirectoryW(install_.c_str(), nullptr));
        ASSERT_TRUE(copy_file(deliverable(L"ZephraClient.exe"), install_ + L"\\ZephraClient.exe"));
        elsewhere_ = root_ / L"elsewhere";
        ASSERT_TRUE(CreateDirectoryW(elsewhere_.c_str(), nullptr));
        record_ = root_ / L"record.txt";
    }

    // Puts a jvm.dll (the double, or a variant) where the launcher looks for it.
    void install_runtime(const std::wstring& jre_folder, const std::wstring& dll = L"jvm.dll",
                         const std::wstring& vm = L"client") {
        std::wstring dir = install_ + L"\\" + jre_folder;
        for (const std::wstring& part : {std::wstring(), std::wstring(L"\\bin"), L"\\bin\\" + vm}) {
            dir = install_ + L"\\" + jre_folder + part;
            CreateDirectoryW(dir.c_str(), nullptr);
        }
        ASSERT_TRUE(copy_file(test_bin_dir() + dll, dir + L"\\jvm.dll"));
    }

    std::string install_path() const { return narrow(install_); }
    std::string search_path(const std::string& jre, const std::string& vm = "client") const {
        std::string b = install_path();
        return b + ";" + b + "\\" + jre + "\\bin;" + b + "\\" + jre + "\\bin\\" + vm + ";" + b + "\\gre";
    }

    // Starts the launcher with the raw argument text; answers a message box if one shows.
    run_result run(const std::string& scenario, const std::wstring& arguments = L"", const std::wstring& cwd = L"") {
        scoped_env s(L"ZEPHRA_JVM_SCENARIO", widen(scenario));
        scoped_env r(L"ZEPHRA_JVM_RECORD", record_);
        DeleteFileW(record_.c_str());
        std::wstring line = L"\"" + install_ + L"\\ZephraClient.exe\"";
        if (!arguments.empty()) line += L" " + arguments;
        run_result result;
        child_process launcher(line, cwd.empty() ? elsewhere_ : cwd);
        const DWORD start = GetTickCount();
        while (!launcher.wait(50)) {
            std::vector<HWND> boxes = top_level_windows(launcher.id(), kTitle);
            if (!boxes.empty()) {
                message_box box = wait_for_message_box(launcher.id(), kTitle, 5000);
                result.box_shown = true;
                result.boxes = static_cast<int>(top_level_windows(launcher.id(), kTitle).size());
                result.box_text = narrow(box.text);
                press_button(box.window);
                break;
            }
            if (GetTickCount() - start > 30000) break;
        }
        result.ended = launcher.wait(15000);
        result.exit_code = launcher.exit_code();
        result.record = read_record(record_);
        return result;
    }

    void expect_failure_box(const run_result& r, const std::string& message) {
        EXPECT_TRUE(r.box_shown) << "no message box for: " << message;
        EXPECT_EQ(r.boxes, 1);
        EXPECT_EQ(r.box_text, kFirstLine + message);
        EXPECT_TRUE(r.ended) << "the launcher did not end after OK";
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_TRUE(texts_of(r.record, "violation").empty());
    }

    void expect_clean_run(const run_result& r) {
        EXPECT_FALSE(r.box_shown) << r.box_text;
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(texts_of(r.record, "violation"), std::vector<std::string>{});
        EXPECT_GE(position(r.record, "jni", "DestroyJavaVM returned"), 0);
        EXPECT_GT(position(r.record, "unloaded"), position(r.record, "jni", "DestroyJavaVM returned"));
    }

    std::wstring jvm_path(const std::string& jre) const {
        return install_ + L"\\" + widen(jre) + L"\\bin\\client\\jvm.dll";
    }

    machine_key key_;
    machine_key key64_{KEY_WOW64_64KEY};
    temp_dir root_{L"zephra launcher"};
    std::wstring install_;
    std::wstring elsewhere_;
    std::wstring record_;
};

TEST_F(LauncherEndToEnd, OptionsPathWorkingDirectoryAndArgumentsReachTheVm) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    // Greek and CJK text lies outside the ANSI code page; quotes group without escapes.
    const std::wstring args =
        L"plain \"\" \"with  space\" \x0395\x03BB\x03BB\x03B7\x03BD\x03B9\x03BA\x03AC \x4E2D\x6587 ab\"c d\"e "
        L"C:\\dir\\";
    run_result r = run("normal", args);
    expect_clean_run(r);

    EXPECT_EQ(texts_of(r.record, "create-version"), std::vector<std::string>{"0x00010002"});
    EXPECT_EQ(texts_of(r.record, "create-noptions"), std::vector<std::string>{"3"});
    EXPECT_EQ(texts_of(r.record, "create-option"),
              (std::vector<std::string>{"-Djava.compiler=NONE", std::string("-Djava.class.path=") + kClassPath,
                                        "-Djava.library.path=" + search_path("JRE 1.4.2_05")}));
    EXPECT_TRUE(texts_of(r.record, "create-option-extra").empty());
    EXPECT_EQ(texts_of(r.record, "create-ignore-unrecognized"), std::vector<std::string>{"1"});
    EXPECT_EQ(texts_of(r.record, "create-path"), std::vector<std::string>{search_path("JRE 1.4.2_05")});
    EXPECT_EQ(texts_of(r.record, "create-cwd"), std::vector<std::string>{install_path()});

    EXPECT_EQ(texts_of(r.record, "main-argc"), std::vector<std::string>{"7"});
    EXPECT_EQ(texts_of(r.record, "main-arg"),
              (std::vector<std::string>{"0 plain", "1 ", "2 with  space",
                                        "3 \xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD"
                                        "\xCE\xB9\xCE\xBA\xCE\xAC",
                                        "4 \xE4\xB8\xAD\xE6\x96\x87", "5 abc de", "6 C:\\dir\\"}));
    // main runs on the thread that created the VM, the launcher's main thread.
    EXPECT_EQ(texts_of(r.record, "main-thread"), texts_of(r.record, "create-thread"));

    // The order of the calls.
    std::vector<int> order = {position(r.record, "call", "JNI_CreateJavaVM"),
                              position(r.record, "jni", std::string("FindClass ") + kMainClass),
                              position(r.record, "jni", "GetStaticMethodID main ([Ljava/lang/String;)V"),
                              position(r.record, "jni", "NewStringUTF"),
                              position(r.record, "jni", "NewObjectArray 7 java/lang/String"),
                              position(r.record, "main-argc"),
                              position(r.record, "jni", "ExceptionOccurred none"),
                              position(r.record, "jni", "DestroyJavaVM"),
                              position(r.record, "unloaded")};
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) && order.front() >= 0) << ::testing::PrintToString(order);
    EXPECT_EQ(position(r.record, "call", "JNI_GetCreatedJavaVMs"), -1);
}

TEST_F(LauncherEndToEnd, NoArgumentsGiveAnEmptyArrayAndACustomRuntimeFolderIsUsed) {
    install_runtime(L"jre142");
    key_.set("InstallPath", install_path() + "\\");
    key_.set("JREVersion", "jre142");
    run_result r = run("normal");
    expect_clean_run(r);
    EXPECT_EQ(texts_of(r.record, "main-argc"), std::vector<std::string>{"0"});
    EXPECT_EQ(texts_of(r.record, "create-path"), std::vector<std::string>{search_path("jre142")});
    EXPECT_EQ(texts_of(r.record, "create-cwd"), std::vector<std::string>{install_path()});
}

TEST_F(LauncherEndToEnd, WithoutTheKeyTheInstallDirectoryServesWhenStartedFromIt) {
    install_runtime(L"JRE 1.4.2_05");
    run_result r = run("normal", L"x", install_);
    expect_clean_run(r);
    EXPECT_EQ(texts_of(r.record, "main-arg"), std::vector<std::string>{"0 x"});
    EXPECT_EQ(texts_of(r.record, "create-path"), std::vector<std::string>{search_path("JRE 1.4.2_05")});

    run_result elsewhere = run("normal");
    expect_failure_box(elsewhere, std::string("Couldn't find registry key: ") + kKey);
    EXPECT_TRUE(elsewhere.record.empty());
}

// A 64-bit launcher reads the 64-bit view first and pairs with a 64-bit runtime, which ships only the
// server VM; the 32-bit launcher reads its own view and loads the client VM only.
TEST_F(LauncherEndToEnd, RegistryViewAndVmFolderFollowTheLauncherArchitecture) {
    const bool is64 = sizeof(void*) == 8;
    install_runtime(L"JRE 1.4.2_05", L"jvm.dll", L"server");
    key_.set("InstallPath", install_path());
    key64_.set("InstallPath", install_path() + "\\missing");
    run_result r = run("normal");
    if (is64) {
        expect_failure_box(r, "Failed to set working directory to: " + install_path() + "\\missing");
    } else {
        expect_failure_box(r, "Error loading JVM, DLL pathname was: " + narrow(jvm_path("JRE 1.4.2_05")));
    }
    if (!is64) return;

    key64_.remove();
    r = run("normal");
    expect_clean_run(r);
    EXPECT_EQ(texts_of(r.record, "create-path"), std::vector<std::string>{search_path("JRE 1.4.2_05", "server")});
    EXPECT_EQ(texts_of(r.record, "create-option").back(),
              "-Djava.library.path=" + search_path("JRE 1.4.2_05", "server"));

    // With both VMs present the client one is taken.
    install_runtime(L"JRE 1.4.2_05", L"jvm_missing_export.dll", L"client");
    expect_failure_box(run("normal"), "Error locating JVM in DLL: " + narrow(jvm_path("JRE 1.4.2_05")));
}

TEST_F(LauncherEndToEnd, RegistryAndEnvironmentFailures) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("JREVersion", "JRE 1.4.2_05");
    // The key without InstallPath fails even from the install directory.
    expect_failure_box(run("normal", L"", install_), "Couldn't read value from value: InstallPath");

    key_.set("InstallPath", install_path() + "\\missing");
    expect_failure_box(run("normal"), "Failed to set working directory to: " + install_path() + "\\missing");
}

TEST_F(LauncherEndToEnd, RuntimeLibraryFailures) {
    key_.set("InstallPath", install_path());
    run_result missing = run("normal");
    expect_failure_box(missing, "Error loading JVM, DLL pathname was: " + narrow(jvm_path("JRE 1.4.2_05")));

    install_runtime(L"JRE 1.4.2_05", L"jvm_missing_export.dll");
    run_result no_export = run("normal");
    expect_failure_box(no_export, "Error locating JVM in DLL: " + narrow(jvm_path("JRE 1.4.2_05")));
    EXPECT_GE(position(no_export.record, "loaded"), 0);
    EXPECT_EQ(position(no_export.record, "call"), -1);
}

TEST_F(LauncherEndToEnd, VmCreationFailures) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    expect_failure_box(run("create_fails"), "Error starting JVM runtime");

    run_result none = run("eexist_none");
    expect_failure_box(none, "Error starting JVM runtime");
    EXPECT_GE(position(none.record, "call", "JNI_GetCreatedJavaVMs"), 0);
}

TEST_F(LauncherEndToEnd, AnExistingVmIsAdoptedWithAnEnvOfItsOwn) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    run_result r = run("eexist", L"one two");
    expect_clean_run(r);
    EXPECT_GT(position(r.record, "call", "JNI_GetCreatedJavaVMs"), position(r.record, "call", "JNI_CreateJavaVM"));
    EXPECT_EQ(texts_of(r.record, "main-arg"), (std::vector<std::string>{"0 one", "1 two"}));
}

TEST_F(LauncherEndToEnd, MainClassAndMethodFailures) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    expect_failure_box(run("no_main_class"), "Error loading main class: com.brevant.zephra.client.maincontrol.WinMain");
    run_result wrong = run("wrong_main_descriptor");
    expect_failure_box(wrong, "Error retrieving pointer to main() method");
    EXPECT_EQ(position(wrong.record, "main-called"), -1);
}

TEST_F(LauncherEndToEnd, MainThrowingLeavesTheVmRunning) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    run_result r = run("main_throws", L"a");
    expect_failure_box(r, "Exception or Error thrown from Java");
    EXPECT_EQ(texts_of(r.record, "main-arg"), std::vector<std::string>{"0 a"});
    EXPECT_GE(position(r.record, "jni", "ExceptionOccurred java/lang/IllegalStateException"), 0);
    EXPECT_EQ(position(r.record, "jni", "DestroyJavaVM"), -1);
    EXPECT_EQ(position(r.record, "unloaded"), -1);
}

TEST_F(LauncherEndToEnd, DestroyJavaVmWaitsForTheLastNonDaemonThread) {
    install_runtime(L"JRE 1.4.2_05");
    key_.set("InstallPath", install_path());
    run_result r = run("non_daemon_thread");
    expect_clean_run(r);
    int returned = position(r.record, "main-returning");
    int ended = position(r.record, "thread-ended");
    int destroyed = position(r.record, "jni", "DestroyJavaVM returned");
    EXPECT_GE(returned, 0);
    EXPECT_GT(ended, returned) << "the thread should outlive main";
    EXPECT_GT(destroyed, ended) << "DestroyJavaVM returned before the thread ended";
}

}  // namespace
