#pragma once
// How packets sit in HID reports: an output report is a 0 report ID followed by the packet; an
// input report is a report ID followed by the packet, and the ID is dropped.

#include <windows.h>

#include <cstddef>

const int kLargestInputReportLength = 65;
const int kFallbackInputReportLength = 17;
const int kFallbackOutputReportLength = 9;
const int kDriverInputBuffers = 100;
const int kPoolBuffers = 100;

// Packet size for a report length (the report-ID byte is not part of the packet).
inline int PacketSizeOf(int reportLength) { return reportLength - 1; }

bool IsUsableInputReportLength(int inputReportLength);

// report := 0, packet[0 .. reportLength - 2].
void ComposeOutputReport(const unsigned char* packet, int reportLength, unsigned char* report);
// packet := report[1 .. reportLength - 1].
void ExtractInputPacket(const unsigned char* report, int reportLength, unsigned char* packet);

// The time a transaction may take: timeoutMs, or 2000 + 100 per reply when it is 0. The value is
// taken as unsigned, so -1 is INFINITE.
DWORD TransactionTimeout(int timeoutMs, std::size_t replyCount);
