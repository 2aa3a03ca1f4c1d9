// The XML codec: turns the text of a received message into a message object
// tree (Decode) and a message into text (Encode).
//
// A codec decodes one document in its life: the whole text goes to the parser
// as the final piece, after which the parser accepts nothing more. Create a
// codec per document, decode, destroy it:
//
//     IXMLCodec* codec = nullptr;
//     if (CreateXMLCodec(&codec) == TRUE) {
//         Message* message = nullptr;
//         codec->Decode(&text, &factory, &message);
//         DestroyXMLCodec(&codec);
//         if (message) { ...act on it...; delete message; }
//     }
//
// Single-threaded: a codec is used by one caller at a time.
#ifndef IXMLCODEC_H
#define IXMLCODEC_H

#include <string>

#include "message.h"

class IXMLCodec {
public:
    virtual ~IXMLCodec() = default;

    // Parses *text in one call, asking `factory` for an element at every
    // start tag and attaching each finished element to its parent.
    // TRUE: the document was well formed; *message is the root message, owned
    // by the caller from now on, or null when the root is not something the
    // factory builds as a Message. FALSE: malformed or refused text (see
    // XMLCodec::GetLastErrorString); *message is left untouched and nothing
    // built is handed out. Null arguments answer FALSE.
    virtual unsigned short Decode(std::string* text, ElementFactory* factory,
                                  Message** message) = 0;
    // Appends the complete document of `message` (declaration included) to
    // `text`: the result of message->SerializeElement(text, 0). FALSE for a
    // null message.
    virtual unsigned short Encode(std::string& text, Message* message) = 0;
};

// The process's current codec. FALSE for a null argument; otherwise makes
// the current codec if there is none, stores it in *codec and answers TRUE.
unsigned short CreateXMLCodec(IXMLCodec** codec);
// FALSE for a null argument; otherwise deletes *codec (if not null), sets
// *codec to null, clears the current codec and answers TRUE.
unsigned short DestroyXMLCodec(IXMLCodec** codec);
// Always makes a new codec, which becomes the current one. *status (when
// given) is TRUE, or FALSE with a null result when none could be made.
IXMLCodec* CreateXMLCodec(unsigned short* status);

#endif
