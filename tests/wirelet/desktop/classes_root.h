#pragma once
// Test infrastructure: arranging HKEY_CLASSES_ROOT in the test's Wine prefix and putting it back.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

// Remembers one key's default value under HKEY_CLASSES_ROOT and puts it back (or removes the
// key, when the test created it) at the end of the test.
class CSavedClassesRootValue {
public:
    explicit CSavedClassesRootValue(std::wstring key) : m_Key(std::move(key)) {
        HKEY handle = nullptr;
        m_KeyExisted = RegOpenKeyExW(HKEY_CLASSES_ROOT, m_Key.c_str(), 0, KEY_QUERY_VALUE, &handle) == ERROR_SUCCESS;
        if (!m_KeyExisted) return;
        DWORD size = 0;
        if (RegQueryValueExW(handle, nullptr, nullptr, &m_Type, nullptr, &size) == ERROR_SUCCESS) {
            m_Data.resize(size);
            m_HadValue = RegQueryValueExW(handle, nullptr, nullptr, &m_Type, m_Data.data(), &size) == ERROR_SUCCESS;
        }
        RegCloseKey(handle);
    }
    ~CSavedClassesRootValue() {
        if (!m_KeyExisted) {
            RegDeleteTreeW(HKEY_CLASSES_ROOT, m_Key.c_str());
            RegDeleteKeyW(HKEY_CLASSES_ROOT, m_Key.c_str());
            return;
        }
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, m_Key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS) return;
        if (m_HadValue) {
            RegSetValueExW(handle, nullptr, 0, m_Type, m_Data.data(), static_cast<DWORD>(m_Data.size()));
        } else {
            RegDeleteValueW(handle, nullptr);
        }
        RegCloseKey(handle);
    }
    void Set(const std::wstring& value) const {
        HKEY handle = nullptr;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CLASSES_ROOT, m_Key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
        RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
    }
    void Remove() const {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, m_Key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS) return;
        RegDeleteValueW(handle, nullptr);
        RegCloseKey(handle);
    }

private:
    std::wstring m_Key;
    bool m_KeyExisted = false;
    bool m_HadValue = false;
    DWORD m_Type = REG_SZ;
    std::vector<BYTE> m_Data;
};
