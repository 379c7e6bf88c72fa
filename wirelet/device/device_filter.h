#pragma once
// Which HID devices are remote controls: the accepted vendor and product IDs.

bool IsAcceptedVendorProduct(unsigned short vendorId, unsigned short productId);
