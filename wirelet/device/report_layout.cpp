#include "wirelet/device/report_layout.h"

#include <cstring>

bool IsUsableInputReportLength(int inputReportLength) {
    // A report needs its ID byte and at least one packet byte.
    return inputReportLength >= 2 && inputReportLength <= kLargestInputReportLength;
}

void ComposeOutputReport(const unsigned char* packet, int reportLength, unsigned char* report) {
    report[0] = 0;
    if (reportLength > 1) std::memcpy(report + 1, packet, static_cast<std::size_t>(reportLength - 1));
}

void ExtractInputPacket(const unsigned char* report, int reportLength, unsigned char* packet) {
    if (reportLength > 1) std::memcpy(packet, report + 1, static_cast<std::size_t>(reportLength - 1));
}

DWORD TransactionTimeout(int timeoutMs, std::size_t replyCount) {
    if (timeoutMs != 0) return static_cast<DWORD>(timeoutMs);
    return static_cast<DWORD>(2000 + 100 * replyCount);
}
