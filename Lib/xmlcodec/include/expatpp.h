// A thin object wrapper around one Expat parser: each Expat callback calls
// the virtual operation of the same name, which does nothing unless a
// derived class overrides it.
#ifndef EXPATPP_H
#define EXPATPP_H

#include <expat.h>

class expatpp {
public:
    // With true: creates a parser with the default encoding, registers this
    // object as its user data and installs every callback below. With false
    // no parser is made (XML_Parse then fails).
    explicit expatpp(bool createParser = true);
    expatpp(const expatpp&) = delete;
    expatpp& operator=(const expatpp&) = delete;
    // Frees the parser.
    virtual ~expatpp();

    virtual void startElement(const char* name, const char** attributes);
    virtual void endElement(const char* name);
    virtual void charData(const char* text, int length);
    virtual void processingInstruction(const char* target, const char* data);
    virtual void defaultHandler(const char* text, int length);
    // Answers 0: a document that is not standalone is refused.
    virtual int notStandaloneHandler();
    virtual void unparsedEntityDecl(const char* entityName, const char* base,
                                    const char* systemId, const char* publicId,
                                    const char* notationName);
    virtual void notationDecl(const char* notationName, const char* base, const char* systemId,
                              const char* publicId);
    virtual void startNamespace(const char* prefix, const char* uri);
    virtual void endNamespace(const char* prefix);

    // Pass-throughs to Expat.
    XML_Status XML_Parse(const char* text, int length, int isFinal);
    XML_Error XML_GetErrorCode() const;

    XML_Parser parser() const { return m_Parser; }

protected:
    XML_Parser m_Parser = nullptr;  // owned
};

// A variant that lets a child object take over the parser's callbacks for
// one sub-tree and hands them back to its parent at that sub-tree's end tag.
// The child counts the start tags it sees so that it knows which end tag
// closes its sub-tree. The codec does not use it.
class expatppNesting : public expatpp {
public:
    // A top-level object with its own parser.
    expatppNesting();
    // A child that borrows `parent`'s parser, takes over its callbacks from
    // now on and returns them when its sub-tree closes. `parent` must outlive
    // the child; the child does not free the borrowed parser.
    explicit expatppNesting(expatppNesting* parent);
    ~expatppNesting() override;

    // Called on the parent when a child has handed the callbacks back.
    virtual void nestedChildDone(expatppNesting* child);

protected:
    void OwnCallbacks();

    expatppNesting* m_Parent = nullptr;  // not owned
    unsigned long m_Depth = 0;           // start tags open in this object's sub-tree

private:
    static void XMLCALL NestStart(void* user, const XML_Char* name, const XML_Char** attributes);
    static void XMLCALL NestEnd(void* user, const XML_Char* name);
};

#endif
