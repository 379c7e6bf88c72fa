#pragma once
// The channel manager: finds the accepted HID devices, keeps one open channel per device path and
// hands out counted references to them. Not thread-safe: callers run one operation at a time.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "wirelet/device/counted_ptr.h"
#include "wirelet/device/token.h"
#include "wirelet/device/wirelet.h"

typedef CCountedPtr<CWirelet> TWireletPtr;

class CWireletManager {
public:
    virtual ~CWireletManager() {}
    // One new reference per channel held, in ascending device-path order. Does not enumerate.
    virtual std::vector<TWireletPtr> GetCandidates() = 0;
    // Brings the channel map in line with the accepted devices present now: channels of devices
    // still present are kept untouched, new devices (and devices whose channel lost them, such as a
    // remote replugged into the same port) are opened, the others are released. A device that
    // cannot be tested or opened is left out, whatever failed; only a failed clean-up of the
    // device list throws (the map then stays as it was).
    virtual void Refresh() = 0;
    virtual void BringProcessToFront() {}
    // A new reference to the channel with that token, or a handle holding no channel.
    virtual TWireletPtr Find(TWireletToken token) = 0;
    // Drops the manager's reference to the channel with that token, if it holds it. The token
    // then names nothing, for good.
    virtual void Remove(TWireletToken token) = 0;
    // The token of a channel the manager holds, or 0. Nonzero and unchanged while it holds it.
    virtual TWireletToken GetToken(const CWirelet* channel) const = 0;
};

class CHidWireletManager : public CWireletManager {
public:
    CHidWireletManager();
    ~CHidWireletManager() override;
    CHidWireletManager(const CHidWireletManager&) = delete;
    CHidWireletManager& operator=(const CHidWireletManager&) = delete;

    std::vector<TWireletPtr> GetCandidates() override;
    void Refresh() override;
    TWireletPtr Find(TWireletToken token) override;
    void Remove(TWireletToken token) override;
    TWireletToken GetToken(const CWirelet* channel) const override;

private:
    // The HID device interface class, asked of the HID driver on first use.
    const GUID& GetHidGuid();
    // Paths of the present, accepted devices, in enumeration order.
    std::vector<std::string> EnumerateDevicePaths();

    GUID m_HidGuid;
    // Keyed by device path as SetupAPI reports it; std::string orders bytes as unsigned values.
    std::map<std::string, TWireletPtr> m_Channels;
    // One token per channel of the map, retired when the map lets go of the channel.
    CTokenTable m_Tokens;
};
