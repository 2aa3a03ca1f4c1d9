// Fuzz target: any text through Decode with the camera factory, the way the
// tour server decodes a request. Besides not crashing, leaking or hanging:
// whatever decodes must write text that decodes again, and writing is stable
// after one such round (the first round may turn tabs and line breaks inside
// attribute values into spaces, as XML attribute normalisation does, and may
// drop variables renamed by a VariableType attribute to a tag the factory
// does not build).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cameramessage.h"
#include "ixmlcodec.h"

namespace {

std::unique_ptr<Message> DecodeOnce(std::string& text, ElementFactory& factory, bool* ok) {
    IXMLCodec* codec = nullptr;
    if (CreateXMLCodec(&codec) != TRUE || !codec) std::abort();
    Message* message = nullptr;
    *ok = codec->Decode(&text, &factory, &message) == TRUE;
    DestroyXMLCodec(&codec);
    if (!*ok && message) std::abort();  // a failed decode hands nothing out
    return std::unique_ptr<Message>(message);
}

void Check(bool condition, const char* what, const std::string& text) {
    if (condition) return;
    std::fprintf(stderr, "xmlcodec_fuzz: %s\n--- text ---\n%s\n---\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CameraElementFactory factory;
    std::string input(reinterpret_cast<const char*>(data), size);
    bool ok = false;
    std::unique_ptr<Message> message = DecodeOnce(input, factory, &ok);
    if (!message) return 0;

    std::string first;
    Check(message->SerializeElement(first, 0) == TRUE, "encode failed", input);
    std::unique_ptr<Message> again = DecodeOnce(first, factory, &ok);
    Check(ok && again, "written text does not decode", first);

    std::string second;
    again->SerializeElement(second, 0);
    std::unique_ptr<Message> third = DecodeOnce(second, factory, &ok);
    Check(ok && third, "second written text does not decode", second);
    std::string thirdText;
    third->SerializeElement(thirdText, 0);
    Check(thirdText == second, "writing is not stable", second);
    return 0;
}
