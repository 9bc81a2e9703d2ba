// The table loader on arbitrary file contents: it must never read or write out
// of bounds, must count only whole records, and must leave every entry it did
// not fill as NaN.
#include "qova.h"

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/qova-fuzz-table-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) std::abort();
    close(fd);
    g_path = pattern;
    std::atexit([] { unlink(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen(g_path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    ChromaEntry table[QOVA_TABLE_SIZE];
    const int records = QOVA_readtable(g_path.c_str(), table);
    if (records < 0 || records > QOVA_TABLE_SIZE) std::abort();
    for (int i = records; i < QOVA_TABLE_SIZE; ++i)
        if (!std::isnan(table[i].x) || !std::isnan(table[i].y)) std::abort();
    return 0;
}
