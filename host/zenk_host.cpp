// The ZENK_ entry points: dispatch to the descriptor's binding, recording each
// call in the active trace (if any) and applying its injected failures.
#include "zenk_host.h"

#include "trace.h"

#include <cstdio>

extern "C" {
int ZENK_ERRNO = 0;
}

namespace zenk {

namespace {

ErrorHandler g_error_handler = nullptr;

Binding *binding_of(ImageDescriptor *image) { return image ? static_cast<Binding *>(image->host_private) : nullptr; }

void record(Call call, const ImageDescriptor *image, int mode, const char *text, int result) {
    if (Trace *trace = active_trace()) trace->calls.push_back(CallRecord{call, image, mode, text ? text : "", result});
}

// Runs `call` on the binding unless the trace injects a failure for it.
template <class Op>
int dispatch(Call call, ImageDescriptor *image, Op op) {
    int status = 0;
    Trace *trace = active_trace();
    if (!(trace && trace->injected(call, &status))) {
        Binding *binding = binding_of(image);
        status = binding ? op(*binding, *image) : kUnbound;
    }
    record(call, image, 0, nullptr, status);
    return status;
}

}  // namespace

ErrorHandler set_error_handler(ErrorHandler handler) {
    const ErrorHandler previous = g_error_handler;
    g_error_handler = handler;
    return previous;
}

void Source::announce(const PartWindow &window) {
    window_ = window;
    if (!sink_) return;
    sink_->pending_ = true;
    if (sink_->descriptor_) {
        sink_->descriptor_->width = window.width;
        sink_->prepare(window);
    }
}

int Sink::putpart(ImageDescriptor &image) {
    if (!pending_) return kOutOfOrder;
    pending_ = false;
    const int status = store(image, source_.window());
    if (status >= 0) image.continues = source_.window().more ? 1u : 0u;
    return status;
}

void bind(ImageDescriptor &image, Source &source, int32_t width, uint32_t attribute) {
    image = ImageDescriptor{};
    image.width = width;
    image.attribute = attribute;
    image.host_private = static_cast<Binding *>(&source);
}

void bind(ImageDescriptor &image, Sink &sink) {
    image = ImageDescriptor{};
    image.host_private = static_cast<Binding *>(&sink);
    sink.set_descriptor(&image);
}

}  // namespace zenk

using zenk::Binding;
using zenk::Call;

extern "C" int ZENK_Getpart(ImageDescriptor *image) {
    return zenk::dispatch(Call::Getpart, image, [](Binding &b, ImageDescriptor &d) { return b.getpart(d); });
}

extern "C" int ZENK_Putpart(ImageDescriptor *image) {
    return zenk::dispatch(Call::Putpart, image, [](Binding &b, ImageDescriptor &d) { return b.putpart(d); });
}

extern "C" int ZENK_Refresh(ImageDescriptor *image, int mode) {
    Binding *binding = zenk::binding_of(image);
    if (binding) binding->refresh(*image, mode);
    const int status = binding ? 0 : zenk::kUnbound;
    zenk::record(Call::Refresh, image, mode, nullptr, status);
    return status;
}

extern "C" void ZENK_Error(const char *text) {
    if (zenk::g_error_handler) {
        zenk::g_error_handler(text ? text : "");
    } else {
        std::fprintf(stderr, "%s\n", text ? text : "");
    }
    zenk::record(Call::Error, nullptr, 0, text, 0);
}
