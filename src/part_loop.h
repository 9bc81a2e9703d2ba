// The part-wise processing loop every operator runs, and its argument rejection.
#ifndef QOVA_PART_LOOP_H
#define QOVA_PART_LOOP_H

#include "zenk.h"

#include <cstdint>

namespace qova {

inline constexpr int kRejected = -1;

// A rejected argument: no host call, ZENK_ERRNO set, -1 returned.
inline int reject() {
    ZENK_ERRNO = ZENK_BAD_ARGUMENT;
    return kRejected;
}

inline bool valid_strength(int strength) { return strength >= -100 && strength <= 100; }

// One row of a part: the three planes' samples of the same row.
struct InRow {
    const int32_t *p0, *p1, *p2;
};
struct OutRow {
    int32_t *p0, *p1, *p2;
};

// Fetches, transforms and stores parts until the host says the output is
// complete, then refreshes in and out. `transform_row(InRow, OutRow, width)`
// must write all three output planes of columns 0..width-1 and nothing else;
// it holds all the pixel work, so this loop holds no arithmetic and the row
// function no host calls. Returns 0 or the failing host status unchanged.
template <class RowTransform>
int run_parts(ImageDescriptor *in, ImageDescriptor *out, const char *read_failure, const char *write_failure,
              RowTransform &&transform_row) {
    for (;;) {
        const int rows = ZENK_Getpart(in);
        if (rows < 0) {
            ZENK_Error(read_failure);
            return rows;
        }
        const int width = in->width;
        for (int r = 0; r < rows; ++r) {
            transform_row(InRow{in->plane0[r], in->plane1[r], in->plane2[r]},
                          OutRow{out->plane0[r], out->plane1[r], out->plane2[r]}, width);
        }
        const int stored = ZENK_Putpart(out);
        if (stored < 0) {
            ZENK_Error(write_failure);
            return stored;
        }
        if (out->continues == 0) break;
    }
    ZENK_Refresh(in, 0);
    ZENK_Refresh(out, 0);
    return 0;
}

}  // namespace qova

#endif
