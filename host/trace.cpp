#include "trace.h"

namespace zenk {

namespace {
Trace *g_active = nullptr;
}

Trace *active_trace() { return g_active; }

TraceScope::TraceScope(Trace &trace) : previous_(g_active) { g_active = &trace; }
TraceScope::~TraceScope() { g_active = previous_; }

int Trace::count(Call call) const {
    int n = 0;
    for (const CallRecord &r : calls) n += r.call == call;
    return n;
}

std::string Trace::sequence() const {
    std::string s;
    for (const CallRecord &r : calls) {
        switch (r.call) {
        case Call::Getpart: s += 'G'; break;
        case Call::Putpart: s += 'P'; break;
        case Call::Refresh:
            s += 'R';
            s += std::to_string(r.mode);
            break;
        case Call::Error: break;
        }
    }
    return s;
}

bool Trace::injected(Call call, int *status) {
    Fault *fault = nullptr;
    int k = 0;
    if (call == Call::Getpart) {
        k = ++getparts_;
        fault = &getpart_fault_;
    } else if (call == Call::Putpart) {
        k = ++putparts_;
        fault = &putpart_fault_;
    } else {
        return false;
    }
    if (fault->at != k) return false;
    *status = fault->status;
    return true;
}

}  // namespace zenk
