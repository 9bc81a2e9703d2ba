// A record of the host calls an operator makes, with injected failures.
#ifndef ZENK_TRACE_H
#define ZENK_TRACE_H

#include "zenk.h"

#include <string>
#include <vector>

namespace zenk {

enum class Call { Getpart, Putpart, Refresh, Error };

struct CallRecord {
    Call call;
    const ImageDescriptor *image;  // null for Error
    int mode;                      // Refresh only
    std::string text;              // Error only
    int result;                    // Getpart, Putpart, Refresh
};

// While a TraceScope holds it, every host call is appended to `calls`, and the
// k-th Getpart or Putpart (counted from 1 within the scope) can be made to
// return a given status without touching the image.
class Trace {
public:
    std::vector<CallRecord> calls;

    void fail_getpart(int k, int status) { getpart_fault_ = {k, status}; }
    void fail_putpart(int k, int status) { putpart_fault_ = {k, status}; }

    int count(Call call) const;
    // The calls without Error records, as a compact string such as "GPGPR0R0".
    std::string sequence() const;

    // Host side: numbers the call and says whether it must fail, and how.
    bool injected(Call call, int *status);

private:
    struct Fault {
        int at = 0;
        int status = 0;
    };
    Fault getpart_fault_, putpart_fault_;
    int getparts_ = 0, putparts_ = 0;
};

class TraceScope {
public:
    explicit TraceScope(Trace &trace);
    ~TraceScope();
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

private:
    Trace *previous_;
};

// The trace in force, or null.
Trace *active_trace();

}  // namespace zenk

#endif
