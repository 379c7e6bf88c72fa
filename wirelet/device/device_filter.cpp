#include "wirelet/device/device_filter.h"

bool IsAcceptedVendorProduct(unsigned short vendorId, unsigned short productId) {
    switch (vendorId) {
        case 0xE47A:
            return (productId >= 0x0001 && productId <= 0x01F4) || productId == 0x7A21;
        case 0xF3C5:
            return productId >= 0x5E40 && productId <= 0x5E43;
        default:
            return false;
    }
}
