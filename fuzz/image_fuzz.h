// The input of the image-reader targets: a flags byte, then the image in its
// mapped layout (headers at 0, sections at their RVAs), as
// hk::MappedImage::Flat maps it. The image size is rounded up to whole pages
// and an inaccessible page follows, so every read past the image end faults;
// the image has no inaccessible page of its own, so a fault the reader's
// guard caught can only be such a read, and is a finding.
#pragma once

#include "fuzz_support.h"
#include "hostkernel/pe_image.h"

#include <unistd.h>

namespace fuzz {

inline hk::MappedImage MapFuzzedImage(std::span<const std::uint8_t> bytes) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t size = std::max<std::size_t>(bytes.size(), 1);
    size = (size + page - 1) / page * page;
    return hk::MappedImage::Flat(bytes.first(std::min(bytes.size(), hk::kMaxImageSize)), size);
}

}  // namespace fuzz
