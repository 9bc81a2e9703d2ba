// `qova demo`: every operator on the bundled sample, and a contact sheet.
#ifndef QOVA_TOOLS_DEMO_H
#define QOVA_TOOLS_DEMO_H

#include "files/job.h"

#include <filesystem>

namespace qova::tool {

// Writes the results and contact-sheet.png into `dir` (created if needed);
// returns the process exit status.
int run_demo(const std::filesystem::path &dir, const std::filesystem::path &sample,
             const std::shared_ptr<const std::vector<ChromaEntry>> &table, const files::JobOptions &options);

}  // namespace qova::tool

#endif
