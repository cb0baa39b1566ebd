// How the served disk names itself: the target reports these in its INQUIRY answers and the
// disk finder looks for them among the machine's drives, so the two can never drift apart.
#pragma once

// Padded to the INQUIRY fields' widths (8 and 16 bytes); the finder matches substrings.
constexpr const char k_device_vendor[] = "VELMORAK";
constexpr const char k_device_product[] = "NORVALED        ";
// The product as the finder matches it, without the padding.
constexpr const char k_device_product_name[] = "NORVALED";
