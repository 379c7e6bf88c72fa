#pragma once
// The abstract device channel: fixed-size packets exchanged with one device. A packet is an HID
// report without its leading report-ID byte.

#include <vector>

// Pointers to caller-owned packet buffers, in the order they are written or filled.
typedef std::vector<unsigned char*> TPacketPointers;

class CWirelet {
public:
    virtual ~CWirelet() {}
    // Output packet size in bytes (output report length - 1).
    virtual int GetOutputPacketSize() = 0;
    // Input packet size in bytes (input report length - 1).
    virtual int GetInputPacketSize() = 0;
    // Writes every packet of outPackets, then collects replyPackets.size() input packets into
    // replyPackets within timeoutMs (0: the default, 2000 + 100 per reply; -1: no limit).
    // *receivedCount gets the number of reply buffers filled. Each out buffer holds at least
    // GetOutputPacketSize() bytes, each reply buffer at least GetInputPacketSize() bytes.
    virtual bool WriteReadPackets(const TPacketPointers& outPackets, const TPacketPointers& replyPackets,
                                  int* receivedCount, int timeoutMs) = 0;
    virtual bool StartContinuousRead() = 0;
    virtual bool StopContinuousRead() = 0;
    // Copies the oldest queued input packet into packet (at least GetInputPacketSize() bytes).
    // Never waits: false when continuous read is off or nothing is queued.
    virtual bool ContinuousRead(unsigned char* packet) = 0;
    // True once the device has gone away (unplugged): the channel can never work again, and a
    // device that comes back needs a channel of its own.
    virtual bool IsDeviceGone() const = 0;
};
