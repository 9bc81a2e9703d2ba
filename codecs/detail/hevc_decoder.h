// A libheif decoder of HEVC images through libde265 that reports damage:
// libheif's own libde265 plugin passes on none of libde265's warnings, and
// libheif drops decoding warnings when it converts colours. A picture the
// decoder found damaged is returned as concealed, as libheif's own plugin
// returns it, and libde265's description goes to the lease's report.
#ifndef QOVA_CODECS_DETAIL_HEVC_DECODER_H
#define QOVA_CODECS_DETAIL_HEVC_DECODER_H

#include <libheif/heif_plugin.h>

#include <memory>
#include <string>

namespace qova::codecs {

class HevcDecoderLease {
public:
    // One of a fixed number of plugins, each reporting to its own lease;
    // null when all are in use (libheif's own plugin then decodes).
    static std::unique_ptr<HevcDecoderLease> acquire();
    ~HevcDecoderLease();
    HevcDecoderLease(const HevcDecoderLease &) = delete;
    HevcDecoderLease &operator=(const HevcDecoderLease &) = delete;

    const heif_decoder_plugin *plugin() const;
    // The first damage reported since the lease began; empty if none.
    std::string damage() const;

private:
    explicit HevcDecoderLease(int slot) : slot_(slot) {}
    int slot_;
};

}  // namespace qova::codecs

#endif
