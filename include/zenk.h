/* SPDX-License-Identifier: MIT
 *
 * zenk.h: the host image interface the qova operators compile against.
 *
 * The host owns every image and lends it out one part (a band of whole rows)
 * at a time. An operator fetches the next input part with ZENK_Getpart, fills
 * the same rows of the output through the output's row tables, hands them back
 * with ZENK_Putpart and repeats while the output's `continues` is non-zero.
 * Samples are signed 32-bit; a row table maps a row, counted from 0 within the
 * current part, to its samples: plane0[r][c].
 */
#ifndef ZENK_H
#define ZENK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ImageDescriptor {
    int32_t **plane0; /* row tables: plane0[r][c], r counted within the current part */
    int32_t **plane1;
    int32_t **plane2;
    uint32_t continues; /* read on out after each store; zero ends the run */
    int32_t width;      /* samples per row, read on in */
    uint32_t attribute; /* copied from in to out, never interpreted */
    void *host_private; /* the host's binding of this descriptor; operators never touch it */
} ImageDescriptor;

/* Makes the next part of `image` readable; returns its number of rows, or a negative status. */
int ZENK_Getpart(ImageDescriptor *image);
/* Stores the part just written into `image`; negative on failure. Sets `continues`. */
int ZENK_Putpart(ImageDescriptor *image);
/* Tells the host an image is complete; operators call it with mode 0. */
int ZENK_Refresh(ImageDescriptor *image, int mode);
/* Reports a failure; `text` is a constant without a trailing newline. */
void ZENK_Error(const char *text);

/* Set to ZENK_BAD_ARGUMENT when an operator rejects an argument. */
extern int ZENK_ERRNO;

#define ZENK_BAD_ARGUMENT (-20)

#ifdef __cplusplus
}
#endif

#endif /* ZENK_H */
