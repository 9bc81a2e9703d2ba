/* The public headers compile as C. */
#include "qova.h"

int qova_c_header_check(ImageDescriptor *in, ImageDescriptor *out, const ChromaEntry *table) {
    ChromaEntry copy[QOVA_TABLE_SIZE];
    copy[0] = table[0];
    if (QOVA_XYZfilterTable(in, out, 550, 100, 2, table) == QOVA_REJECTED) return ZENK_ERRNO;
    return QOVA_SatuVariation(in, out, (int)copy[0].x) == QOVA_REJECTED ? ZENK_ERRNO : 0;
}
