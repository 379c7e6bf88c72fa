#include "wirelet/device/manager.h"

#include <setupapi.h>

#include <cstring>
#include <memory>

#include "wirelet/device/device_filter.h"
#include "wirelet/device/hid_api.h"
#include "wirelet/device/hid_wirelet.h"
#include "wirelet/support/check.h"

using NQuillonWin32::Check;

namespace {

const GUID kNullGuid = {};

// Opens the device briefly and tells whether its vendor and product IDs are accepted. A device
// that cannot be opened (absent, or held by another program without sharing) or whose HID data
// cannot be read is not accepted. Failing to free the preparsed data or to close the probe
// handle throws.
bool IsAcceptedDevice(const char* devicePath) {
    HANDLE device = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    NQuillonWin32::CHandle probe(device);

    bool accepted = false;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(device, &preparsed)) {
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        HIDP_CAPS caps{};
        if (HidD_GetAttributes(device, &attributes) && HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
            accepted = IsAcceptedVendorProduct(attributes.VendorID, attributes.ProductID);
        }
        Check([&] { return HidD_FreePreparsedData(preparsed); });
    }
    probe.Close();
    return accepted;
}

void AddDevicePathIfAccepted(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::vector<std::string>& paths) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return;
    // DWORD-aligned storage for the variable-length detail structure.
    std::unique_ptr<DWORD[]> storage(new DWORD[(required + sizeof(DWORD) - 1) / sizeof(DWORD)]());
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) return;
    // The path ends inside the buffer even if the driver wrote no terminator.
    const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const char* path = detail->DevicePath;
    std::string devicePath(path, strnlen(path, required - pathOffset));
    try {
        if (IsAcceptedDevice(devicePath.c_str())) paths.push_back(devicePath);
    } catch (const NQuillonWin32::CCheckException&) {
        // A device that cannot be tested is not listed; the others still are.
    }
}

// A new, open channel on the device, or null when it cannot be opened (a device that makes the
// opening throw counts as one that cannot be opened, so that the others are still listed).
std::unique_ptr<CHidWirelet> OpenChannel(const std::string& path) {
    try {
        std::unique_ptr<CHidWirelet> channel(new CHidWirelet);
        if (channel->Open(path)) return channel;
    } catch (const NQuillonWin32::CCheckException&) {
    }
    return nullptr;
}

}  // namespace

CHidWireletManager::CHidWireletManager() : m_HidGuid(kNullGuid) {}

CHidWireletManager::~CHidWireletManager() {}

const GUID& CHidWireletManager::GetHidGuid() {
    if (std::memcmp(&m_HidGuid, &kNullGuid, sizeof(GUID)) == 0) HidD_GetHidGuid(&m_HidGuid);
    return m_HidGuid;
}

std::vector<std::string> CHidWireletManager::EnumerateDevicePaths() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GetHidGuid(), nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;

    // The list is destroyed on every path; a failing destroy throws only when nothing else is
    // already propagating.
    struct SSetGuard {
        HDEVINFO set;
        ~SSetGuard() {
            if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
        }
    } guard{set};

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (SetupDiEnumDeviceInterfaces(set, nullptr, &GetHidGuid(), index, &data)) {
            AddDevicePathIfAccepted(set, data, paths);
        } else if (GetLastError() == ERROR_NO_MORE_ITEMS) {
            break;
        }
    }
    guard.set = INVALID_HANDLE_VALUE;
    Check([&] { return SetupDiDestroyDeviceInfoList(set); });
    return paths;
}

std::vector<TWireletPtr> CHidWireletManager::GetCandidates() {
    std::vector<TWireletPtr> candidates;
    candidates.reserve(m_Channels.size());
    for (const auto& entry : m_Channels) candidates.push_back(entry.second);
    return candidates;
}

void CHidWireletManager::Refresh() {
    const std::vector<std::string> paths = EnumerateDevicePaths();
    // Built aside and swapped in only when complete: an exception leaves the map as it was, and
    // the tokens issued on the way are retired with the channels they named.
    std::map<std::string, TWireletPtr> channels;
    struct SIssued {
        CTokenTable& table;
        std::vector<TWireletToken> tokens;
        ~SIssued() {
            for (TWireletToken token : tokens) table.Retire(token);
        }
    } issued{m_Tokens, {}};
    for (const std::string& path : paths) {
        // A channel whose device went away (and is listed again, replugged into the same port)
        // counts as absent: the device gets a fresh channel and token, and the dead one goes.
        auto known = m_Channels.find(path);
        if (known != m_Channels.end() && !known->second->IsDeviceGone()) {
            channels.emplace(path, known->second);
            continue;
        }
        if (channels.count(path) != 0) continue;
        std::unique_ptr<CHidWirelet> channel = OpenChannel(path);
        if (!channel) continue;
        issued.tokens.reserve(issued.tokens.size() + 1);
        const TWireletToken token = m_Tokens.Issue(channel.get());
        // Without a token (all 2^32 - 1 handed out) Java could never name the channel.
        if (token == 0) continue;
        issued.tokens.push_back(token);
        channels.emplace(path, TWireletPtr(channel.release()));
    }
    issued.tokens.clear();
    m_Channels.swap(channels);
    // The old map's references go here: channels no longer listed lose their token and are
    // destroyed unless someone else still holds them.
    for (const auto& entry : channels) {
        auto kept = m_Channels.find(entry.first);
        if (kept == m_Channels.end() || kept->second.Get() != entry.second.Get()) {
            m_Tokens.Retire(m_Tokens.TokenOf(entry.second.Get()));
        }
    }
}

TWireletPtr CHidWireletManager::Find(TWireletToken token) {
    const CWirelet* channel = m_Tokens.Find(token);
    if (channel != nullptr) {
        for (const auto& entry : m_Channels) {
            if (entry.second.Get() == channel) return entry.second;
        }
    }
    return TWireletPtr(nullptr);
}

void CHidWireletManager::Remove(TWireletToken token) {
    const CWirelet* channel = m_Tokens.Find(token);
    if (channel == nullptr) return;
    m_Tokens.Retire(token);
    for (auto it = m_Channels.begin(); it != m_Channels.end(); ++it) {
        if (it->second.Get() == channel) {
            m_Channels.erase(it);
            return;
        }
    }
}

TWireletToken CHidWireletManager::GetToken(const CWirelet* channel) const { return m_Tokens.TokenOf(channel); }
