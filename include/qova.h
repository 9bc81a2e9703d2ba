/* SPDX-License-Identifier: MIT
 *
 * qova.h: colour image operators over the zenk host interface.
 *
 * Every operator takes an input and an output descriptor, walks the input part
 * by part (ZENK_Getpart, transform every pixel into the output, ZENK_Putpart,
 * while out->continues is non-zero), then calls ZENK_Refresh(in, 0) and
 * ZENK_Refresh(out, 0). Each writes all three output planes of every pixel of
 * the part and nothing outside it, and copies in->attribute to out->attribute
 * before its first fetch.
 *
 * Status, for every operator:
 *   0                  all parts processed and stored, both images refreshed;
 *   QOVA_REJECTED (-1) an argument was rejected: ZENK_ERRNO is set to
 *                      ZENK_BAD_ARGUMENT (-20) and no host call was made
 *                      (NULL descriptors and strengths outside -100..100 are
 *                      rejected by every operator that takes them);
 *   other negative     the status of the failing ZENK_Getpart or ZENK_Putpart,
 *                      unchanged, after ZENK_Error(label). No refresh follows.
 *
 * Image layouts:
 *   colour image:          red, green, blue in plane0, plane1, plane2;
 *   hue-saturation image:  hue in tenths of a degree (0..3600, 0 and 3600 the
 *                          same hue) in plane1, saturation 0..999 in plane2,
 *                          plane0 passed through untouched.
 *
 * Numbers: results are truncated toward zero when written back to a sample;
 * values beyond the 32-bit range saturate and NaN gives 0. Results are the
 * same bit for bit on every machine.
 */
#ifndef QOVA_H
#define QOVA_H

#include "qova_version.h"
#include "zenk.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QOVA_REJECTED (-1)

/* ---- Wavelength band filter ------------------------------------------------ */

/* One spectral colour's CIE 1931 chromaticity. */
typedef struct ChromaEntry {
    double x, y;
} ChromaEntry;
#define QOVA_TABLE_SIZE 340 /* entry i holds the wavelength 360 + i nm */

/* Loads the chromaticity table from a text file of records "360, 0.175560, 0.005294",
 * read in order into entries 0..339 (the leading wavelength is not checked).
 * Returns the number of records read whole (0..340), stopping at the first
 * malformed one; entries not filled are NaN. If the file cannot be opened it
 * prints "File:<path> can't read" on standard output and returns -1. */
int QOVA_readtable(const char *path, ChromaEntry *table);

/* Euclidean distance from (x, y) to the entry of `wavelength` (360..699 nm);
 * NaN for a wavelength outside the table. */
double dist(double x, double y, int wavelength, const ChromaEntry *table);

/* The wavelength in start..end-1 whose entry lies nearest to (x, y); ties go to
 * the shorter wavelength, NaN distances never win, and an empty range or a
 * NaN point gives `start`. */
int mindist(double x, double y, int start, int end, const ChromaEntry *table);

/* Colour image filter: finds each pixel's dominant wavelength (the nearest of
 * 380..698 nm on the spectral locus, from "cie_table.txt" in the working
 * directory) and scales its intensity, keeping hue and saturation, by
 *     w = 1 / (1 + q^(2 order)),  q = |lambda - centre| / (bandwidth / 2)
 * in whole numbers: 1 inside half the bandwidth, 1/2 up to the full
 * bandwidth, less beyond. order 0 halves every pixel; a negative order makes
 * a stop band. |bandwidth| < 2 is rejected. If the table cannot be loaded
 * (fewer than 339 records) it reports "Error in readtable - cie_table.txt
 * can't be read" and returns -1 without fetching. It allocates nothing: its
 * working tables, about 145 KB, live in its call frame. */
int QOVA_XYZfilter(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order);

/* As QOVA_XYZfilter, with a table the caller has loaded (QOVA_TABLE_SIZE
 * entries, at least the 339 of 360..698 nm filled), so that nothing is read
 * from the working directory: a library inside another program loads it
 * once, from wherever it lies. A NULL table is rejected. The table is only
 * read, so calls on several threads may share it. */
int QOVA_XYZfilterTable(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order,
                        const ChromaEntry *table);

/* ---- Hue polarisation --------------------------------------------------------- */

/* Hue-saturation image: moves each hue by strength % of its distance toward
 * the pole of its band (0..599 -> 0, 600..1799 -> 1200, 1800..2999 -> 2400,
 * 3000 and above -> 3600), or away from it for a negative strength; the result
 * is clamped to 0..3600. strength in -100..100. */
int QOVA_HuePolarisation(ImageDescriptor *in, ImageDescriptor *out, int strength);

/* As QOVA_HuePolarisation, toward the nearer of the two given poles (tenths of
 * a degree) that enclose each hue on the circle, ties going to the upper pole;
 * the result wraps once into 0..3600. Sorts `poles` ascending in place (unless
 * the strength is rejected). npoles >= 1 and poles != NULL, else rejected. */
int QOVA_HuePolarisation1(ImageDescriptor *in, ImageDescriptor *out, int strength, int *poles, int npoles);

/* ---- Saturation variation ----------------------------------------------------- */

/* Hue-saturation image: saturation s becomes s + strength % of s, clamped to
 * 0..999. strength in -100..100. */
int QOVA_SatuVariation(ImageDescriptor *in, ImageDescriptor *out, int strength);

#ifdef __cplusplus
}
#endif

#endif /* QOVA_H */
