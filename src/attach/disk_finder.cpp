// The disk finder: the physical drive under which Windows shows the library's own disk,
// found by the SCSI identification that the target reports.
#include "attach/attach.h"

#include "platform/storage.h"
#include "state/device_identity.h"

#include <string>

namespace {
constexpr int k_drives_probed = 32;
}

bool has_our_identity(const std::string& vendor, const std::string& product) {
    // Substring tests: the target pads its identification with blanks.
    return vendor.find(k_device_vendor) != std::string::npos &&
           product.find(k_device_product_name) != std::string::npos;
}

int find_our_disk() {
    for (int n = 0; n < k_drives_probed; ++n) {
        std::string vendor, product;
        if (storage_query_ids(n, vendor, product) == 0 && has_our_identity(vendor, product))
            return n;
    }
    return -1;
}
