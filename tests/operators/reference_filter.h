// The band filter as its description reads: for every pixel a plain scan of
// the 319 candidate wavelengths with a square root each, and the power
// function for the weight. The baseline of the benchmarks, and the oracle the
// fast filter is compared with bit for bit.
#ifndef QOVA_BENCH_REFERENCE_FILTER_H
#define QOVA_BENCH_REFERENCE_FILTER_H

#include "qova.h"

int reference_XYZfilter(ImageDescriptor *in, ImageDescriptor *out, int centre, int bandwidth, int order);

#endif
