// Copying a plane's row that an operator passes through unchanged.
#ifndef QOVA_ROW_COPY_H
#define QOVA_ROW_COPY_H

#include <cstdint>
#include <cstring>

namespace qova {

// A host may hand out the same buffer as input and output; copying a row onto
// itself is then skipped, and memmove keeps any other overlap defined.
inline void copy_row(int32_t *dst, const int32_t *src, int width) {
    if (width <= 0 || dst == src) return;
    std::memmove(dst, src, static_cast<std::size_t>(width) * sizeof(int32_t));
}

}  // namespace qova

#endif
