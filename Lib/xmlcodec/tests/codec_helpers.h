// Shared helpers of the codec tests.
#ifndef NUVAK_XMLCODEC_TEST_HELPERS_H
#define NUVAK_XMLCODEC_TEST_HELPERS_H

#include <memory>
#include <string>

#include "cameramessage.h"
#include "xmlcodec.h"

namespace nuvak::xmltest {

struct Decoded {
    unsigned short status = FALSE;
    std::unique_ptr<CameraMessage> message;
    std::string error;
};

// Decodes `text` with a fresh codec. A decoded root that is not a camera
// message fails the calling test.
inline Decoded DecodeText(std::string text, ElementFactory& factory) {
    Decoded d;
    XMLCodec codec;
    Message* m = nullptr;
    d.status = codec.Decode(&text, &factory, &m);
    d.error = codec.GetLastErrorString();
    if (m) {
        d.message.reset(dynamic_cast<CameraMessage*>(m));
        if (!d.message) delete m;
    }
    return d;
}

inline std::string EncodeMessage(Message& m) {
    XMLCodec codec;
    std::string text;
    codec.Encode(text, &m);
    return text;
}

}  // namespace nuvak::xmltest

#endif
