// qova plot, and --plot on the operator commands: the picture of an
// operation, over the colours of any images given.
#ifndef QOVA_TOOLS_PLOT_COMMAND_H
#define QOVA_TOOLS_PLOT_COMMAND_H

#include "codecs/raster.h"
#include "pipeline/transform.h"
#include "plot/canvas.h"

#include <string>
#include <vector>

namespace qova::tool {

struct PlotRequest {
    std::vector<std::string> inputs;  // as typed; may be none
    std::string output;               // as typed
    plot::PlotFormat format;          // as check_plot_output() found it
    bool assume_srgb = false;         // bandpass: take every file's colours as sRGB
    unsigned threads = 1;
    codecs::ReadLimits limits;
};

// The format the plot's output name asks for; a UsageError if it names none
// or its folder does not exist.
plot::PlotFormat check_plot_output(const std::string &output, const char *option);

// Counts the inputs' colours and draws the picture. Problems are reported as
// "qova: NAME: problem"; returns the exit status.
int run_plot(const pipeline::Operation &operation, const PlotRequest &request);

}  // namespace qova::tool

#endif
