// The project's implementation of the zenk host interface.
//
// A descriptor is bound to a Binding object (through its host_private field);
// ZENK_Getpart, ZENK_Putpart and ZENK_Refresh dispatch to it. Inputs are
// Sources, outputs are Sinks. A Sink mirrors one Source: when the Source makes
// a part of n rows readable, it announces the part's window to its Sink, which
// lays out n rows of the same width in the output descriptor's row tables; on
// store, the Sink takes those rows and sets `continues` from the Source. What
// lies behind a binding (an in-memory image, a file being decoded or encoded)
// is the binding's business.
#ifndef ZENK_HOST_H
#define ZENK_HOST_H

#include "zenk.h"

#include <cstdint>

namespace zenk {

// Host statuses (negative, as the interface requires).
enum Status : int {
    kUnbound = -2,        // descriptor has no binding, or the wrong kind
    kNoMoreParts = -3,    // fetch after the last part
    kOutOfOrder = -4,     // store without a fetched part
    kGuardViolated = -5,  // a write landed outside the part (guarded sinks)
    kIoError = -6,        // the binding's reader or writer failed
};

// The rows of the part most recently fetched from a Source.
struct PartWindow {
    int32_t first_row = 0;  // index in the whole image of the part's row 0
    int32_t rows = 0;
    int32_t width = 0;
    bool more = false;  // another part follows this one
};

class Binding {
public:
    virtual ~Binding() = default;
    virtual int getpart(ImageDescriptor &image) = 0;
    virtual int putpart(ImageDescriptor &image) = 0;
    // What completing an image means to the binding; nothing by default.
    virtual void refresh(ImageDescriptor &, int) {}
};

class Sink;

// An input binding: serves parts in order.
class Source : public Binding {
public:
    int putpart(ImageDescriptor &) override { return kUnbound; }
    const PartWindow &window() const { return window_; }
    // Called by the Sink that mirrors this source.
    void attach(Sink &sink) { sink_ = &sink; }

protected:
    // Records the part now readable and lets the mirroring Sink lay out rows for it.
    void announce(const PartWindow &window);

private:
    PartWindow window_;
    Sink *sink_ = nullptr;
};

// An output binding: takes the rows of each part its Source served.
class Sink : public Binding {
public:
    explicit Sink(Source &source) : source_(source) { source.attach(*this); }
    int getpart(ImageDescriptor &) override { return kUnbound; }
    int putpart(ImageDescriptor &image) final;
    // Lays out row tables in the bound descriptor for `window`'s rows.
    virtual void prepare(const PartWindow &window) = 0;
    ImageDescriptor *descriptor() const { return descriptor_; }
    void set_descriptor(ImageDescriptor *d) { descriptor_ = d; }

protected:
    // Stores the rows laid out by prepare(); returns 0 or a negative status.
    virtual int store(ImageDescriptor &image, const PartWindow &window) = 0;

private:
    Source &source_;
    ImageDescriptor *descriptor_ = nullptr;
    bool pending_ = false;
    friend class Source;
};

// Where ZENK_Error's text goes: standard error with a newline unless a handler
// is set (a tool may fold the text into its own messages). Returns the previous one.
using ErrorHandler = void (*)(const char *text);
ErrorHandler set_error_handler(ErrorHandler handler);

// Binds a descriptor to its binding, clearing its row tables; an input also
// takes its width and attribute.
void bind(ImageDescriptor &image, Source &source, int32_t width, uint32_t attribute);
void bind(ImageDescriptor &image, Sink &sink);

}  // namespace zenk

#endif
