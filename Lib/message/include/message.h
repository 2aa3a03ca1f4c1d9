// The message object model: every request, reply and notice exchanged over
// the comm protocol is one XML document made of a root element (a Message)
// holding header attributes and zero or more empty child elements (the
// Variables) that carry their data as attributes.
//
// Writing is done by the objects themselves: each element appends its own
// text with SerializeElement(). Reading is done by the XML codec, which asks
// an ElementFactory to build an object from each start tag and hangs every
// finished child on its parent with AddElement().
//
// Results that report success use the 16-bit boolean of systypes.h
// (TRUE = 0xFFFF, FALSE = 0); results that carry an error code are 0 on
// success.
#ifndef MESSAGE_H
#define MESSAGE_H

#include <string>

#include "systypes.h"

class Variable;

// Anything written as an XML element.
class Element {
public:
    virtual ~Element() = default;

    // Hands `child` to this element. An element that stores the child owns
    // it from then on and answers TRUE; one that refuses it answers FALSE
    // and the caller still owns the child.
    virtual unsigned short AddElement(Element* child) = 0;

    // Appends the element's complete text to `out` (never clears it) and
    // answers TRUE. `depth` is the nesting level, used only for indentation.
    virtual unsigned short SerializeElement(std::string& out, unsigned short depth) const = 0;

protected:
    Element() = default;
    Element(const Element&) = default;
    Element& operator=(const Element&) = default;
};

// The root element of a document: a tag name and four header fields.
// A message owns the children it stores.
class Message : public Element {
public:
    Message(std::string headerType, std::string actionType, unsigned short requestId,
            unsigned short sourceUnit, unsigned short errorStatus);
    // Copies the five header fields only, never children.
    Message(const Message& other);
    Message& operator=(const Message& other);
    ~Message() override = default;

    // Number of child slots (a slot emptied by removal still counts).
    virtual unsigned short GetElementCount() const = 0;
    // Stores in *out the child at `index` viewed as a Variable (null when the
    // slot is empty or holds something else) and answers TRUE; answers FALSE
    // for an index out of range or a null `out`, leaving *out untouched.
    // The message keeps ownership of the variable.
    virtual unsigned short GetVariable(unsigned short index, Variable** out) = 0;

    void SetHeaderType(std::string headerType) { m_HeaderType = std::move(headerType); }
    void SetActionType(std::string actionType) { m_ActionType = std::move(actionType); }
    void SetRequestID(unsigned short requestId) { m_RequestID = requestId; }
    void SetSourceUnit(unsigned short sourceUnit) { m_SourceUnit = sourceUnit; }
    void SetErrorStatus(unsigned short errorStatus) { m_ErrorStatus = errorStatus; }

    const std::string& GetHeaderType() const { return m_HeaderType; }
    const std::string& GetActionType() const { return m_ActionType; }
    unsigned short GetRequestID() const { return m_RequestID; }
    unsigned short GetSourceUnit() const { return m_SourceUnit; }
    unsigned short GetErrorStatus() const { return m_ErrorStatus; }

protected:
    std::string m_HeaderType;  // the root tag name, "Camera" for camera messages
    std::string m_ActionType;  // what the message is, e.g. "SET_RESPONSE"
    T_uint_16 m_RequestID = 0;
    T_uint_16 m_SourceUnit = 0;
    T_uint_16 m_ErrorStatus = 0;
};

// A child element: an empty tag whose name is the variable type.
// Variables own nothing and accept no children.
class Variable : public Element {
public:
    explicit Variable(std::string variableType) : m_VariableType(std::move(variableType)) {}
    Variable(const Variable&) = default;
    Variable& operator=(const Variable&) = default;
    ~Variable() override = default;

    // A variable has no children: always FALSE, ownership stays with the caller.
    unsigned short AddElement(Element* /*child*/) override { return FALSE; }

    void SetVariableType(std::string variableType) { m_VariableType = std::move(variableType); }
    const std::string& GetVariableType() const { return m_VariableType; }

protected:
    std::string m_VariableType;  // the tag name, e.g. "CameraGroup"
};

// Builds elements from parsed XML.
class ElementFactory {
public:
    virtual ~ElementFactory() = default;

    // `attributes` is the parser's null-terminated array of alternating names
    // and values (name0, value0, name1, value1, ..., null). Answers a new
    // element, owned by the caller, or null for a name the factory does not
    // know (the codec then skips that element and everything inside it).
    virtual Element* CreateElement(const char* name, const char** attributes) = 0;
    // Disposal hook. The codec deletes the elements it drops itself and does
    // not call this.
    virtual void DestroyElement(std::string name, Element* element) = 0;
};

// Text pieces every element writes itself with. None escapes a tag or an
// attribute name; attribute values go through stringFormat.
class SerializeUtility {
public:
    // Depth 0: "". Depth n > 0: a line feed and 5 * n spaces.
    static std::string allowTabOf(unsigned short depth);
    // <?xml version="1.0" EXTRA standalone="yes" ?> and a line feed.
    static std::string XMLDeclaration(const std::string& extra);
    // allowTabOf(depth) "<" name " " (left open for attributes).
    static std::string XMLStartElementTag(const std::string& name, unsigned short depth);
    // allowTabOf(depth) name="escaped value" and one space.
    static std::string XMLAttribString(const std::string& name, const std::string& value,
                                       unsigned short depth);
    // As XMLAttribString with the decimal value.
    static std::string XMLAttribInteger(const std::string& name, T_uint_32 value,
                                        unsigned short depth);
    // As XMLAttribString with the value "a-b-c-d".
    static std::string XMLAttribEndpoint(const std::string& name, unsigned short a,
                                         unsigned short b, unsigned short c, T_uint_32 d,
                                         unsigned short depth);
    // "/" gives "/>", "" gives ">", any other name the closing tag on a new
    // line: "\n</name>" at depth 0, allowTabOf(depth) "</name>" deeper.
    static std::string XMLEndElementTag(const std::string& name, unsigned short depth);
    // Decimal digits, no sign, no fill; "0" for zero.
    static std::string numFormat(T_uint_32 value);
    // Number of decimal digits of `value` (1 to 10).
    static unsigned short digitCount(T_uint_32 value);
    // Escapes & < > ' " as &amp; &lt; &gt; &apos; &quot;.
    static std::string stringFormat(const std::string& text);

    // Appending forms of the above for writers that build one buffer.
    static void appendTabOf(std::string& out, unsigned short depth);
    static void appendNum(std::string& out, T_uint_32 value);
    static void appendEscaped(std::string& out, const std::string& text);
};

#endif
