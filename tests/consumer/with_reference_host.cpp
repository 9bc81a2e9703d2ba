#include <qova.h>
#include <zenk/memory_host.h>

#include <cstdio>

int main() {
    zenk::Image input(2, 2, 500), output;
    zenk::MemorySource source(input, zenk::PartPlan::rows(1));
    zenk::MemorySink sink(output, source);
    ImageDescriptor in, out;
    zenk::bind(in, source, input.width, input.attribute);
    zenk::bind(out, sink);
    const int status = QOVA_SatuVariation(&in, &out, -50);
    std::printf("status %d saturation %d\n", status, output.at(2, 1, 1));
    return status == 0 && output.at(2, 1, 1) == 250 ? 0 : 1;
}
