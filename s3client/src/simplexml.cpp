// simplexml.cpp: the streaming XML reader over libxml2's SAX push parser.
#include "simplexml.h"

#include "util.h"

#include <string.h>

#include <string>

#include <libxml/parser.h>
#include <libxml/entities.h>
#include <libxml/tree.h>

// ------------------------------------------------------------ SAX entries

static xmlEntityPtr sax_get_entity(void *, const xmlChar *name)
{
    // Only the five predefined entities; no DTD is read.
    return xmlGetPredefinedEntity(name);
}

static void sax_start_element(void *user_data, const xmlChar *nameUtf8,
                            const xmlChar **)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status != S3StatusOK) {
        return;
    }

    const char *name = (const char *) nameUtf8;
    const int len = (int) strlen(name);
    // The separator is counted for the outermost element too.
    if (simpleXml->elementPathLen + len + 1 > SIMPLEXML_PATH_SIZE - 1) {
        simpleXml->status = S3StatusXmlParseFailure;
        return;
    }
    if (simpleXml->elementPathLen) {
        simpleXml->elementPath[simpleXml->elementPathLen++] = '/';
    }
    memcpy(&simpleXml->elementPath[simpleXml->elementPathLen], name,
           (size_t) len + 1);
    simpleXml->elementPathLen += len;
}

static void sax_end_element(void *user_data, const xmlChar *)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status != S3StatusOK) {
        return;
    }

    simpleXml->status = simpleXml->callback(simpleXml->elementPath, NULL, 0,
                                            simpleXml->callbackData);

    // The parser guarantees the nesting, so the last component is the one
    // that ends.
    while ((simpleXml->elementPathLen > 0) &&
           (simpleXml->elementPath[simpleXml->elementPathLen] != '/')) {
        --simpleXml->elementPathLen;
    }
    simpleXml->elementPath[simpleXml->elementPathLen] = 0;
}

static void sax_characters(void *user_data, const xmlChar *ch, int len)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status != S3StatusOK) {
        return;
    }
    simpleXml->status = simpleXml->callback(simpleXml->elementPath,
                                            (const char *) ch, len,
                                            simpleXml->callbackData);
}

static void sax_error(void *user_data, const char *, ...)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status == S3StatusOK) {
        simpleXml->status = S3StatusXmlParseFailure;
    }
}

// Warnings are not reported; without this entry libxml2 would print them.
static void sax_warning(void *, const char *, ...)
{
}

// Shared by every reader and never changed.  initialized stays 0, so libxml2
// calls the plain element entries: names as written, no namespaces.
static xmlSAXHandler make_sax_handler()
{
    xmlSAXHandler handler;
    memset(&handler, 0, sizeof(handler));
    handler.getEntity = sax_get_entity;
    handler.startElement = sax_start_element;
    handler.endElement = sax_end_element;
    handler.characters = sax_characters;
    handler.cdataBlock = sax_characters;
    handler.warning = sax_warning;
    handler.error = sax_error;
    handler.fatalError = sax_error;
    handler.initialized = 0;
    return handler;
}

static xmlSAXHandler saxHandlerG = make_sax_handler();

// ------------------------------------------------------------------ reader

void simplexml_initialize(SimpleXml *simpleXml, SimpleXmlCallback callback,
                          void *callbackData)
{
    simpleXml->xmlParser = NULL;
    simpleXml->callback = callback;
    simpleXml->callbackData = callbackData;
    simpleXml->elementPath[0] = 0;
    simpleXml->elementPathLen = 0;
    simpleXml->status = S3StatusOK;
    simpleXml->escapeControlReferences = 0;
    simpleXml->controlReferencesEscaped = 0;
    simpleXml->pendingReference[0] = 0;
    simpleXml->pendingReferenceLen = 0;
}

void simplexml_escape_control_references(SimpleXml *simpleXml)
{
    simpleXml->escapeControlReferences = 1;
}

// ------------------------------------------- control character references

// Whether text[0, len) can still become a character reference ("&#", then
// digits, or "x" and hex digits); complete tells whether it is one, ";"
// included, and value is then its code point.
static bool reference_prefix(const char *text, int len, bool *complete, unsigned long *value)
{
    *complete = false;
    if (len < 1 || text[0] != '&') {
        return false;
    }
    if (len < 2) {
        return true;
    }
    if (text[1] != '#') {
        return false;
    }
    const bool hex = (len > 2) && (text[2] == 'x');
    const int first = hex ? 3 : 2;
    unsigned long v = 0;
    for (int i = first; i < len; ++i) {
        const int digit = hex_value(text[i]);
        if (text[i] == ';') {
            *complete = (i == len - 1) && (i > first);
            *value = v;
            return *complete;
        }
        if (digit < 0 || (!hex && digit > 9)) {
            return false;
        }
        v = v * (hex ? 16 : 10) + (unsigned long) digit;
    }
    return len < SIMPLEXML_REFERENCE_SIZE - 1;
}

// A code point XML 1.0 forbids in a document: the control characters other
// than tab, line feed and carriage return.
static bool forbidden_control(unsigned long value)
{
    return value < 0x20 && value != 0x09 && value != 0x0a && value != 0x0d;
}

// The UTF-8 lead of U+FFFE and U+FFFF (EF BF BE, EF BF BF), which XML 1.0
// forbids although they are valid UTF-8.
static const char kNonCharacterLead = '\xEF';

// Copies data to out with every reference to a forbidden control character,
// every raw forbidden control byte and every raw U+FFFE / U+FFFF written as
// its URL encoding ("%XX" per byte); a reference or sequence cut by the
// piece's end is held back.
static void escape_control_references(SimpleXml *simpleXml, const char *data, int dataLen,
                                      std::string *out)
{
    char *pending = simpleXml->pendingReference;
    int &len = simpleXml->pendingReferenceLen;
    for (int i = 0; i < dataLen; ++i) {
        const char c = data[i];
        if (!len) {
            if (c == '&' || c == kNonCharacterLead) {
                pending[len++] = c;
            } else if (forbidden_control((unsigned char) c)) {
                char escaped[4];
                hex_encode_percent((unsigned char) c, escaped);
                out->append(escaped, 3);
                ++simpleXml->controlReferencesEscaped;
            } else {
                out->push_back(c);
            }
            continue;
        }
        pending[len++] = c;
        if (pending[0] == kNonCharacterLead) {
            if (len == 2 && c == '\xBF') {
                continue;
            }
            if (len == 3 && (c == '\xBE' || c == '\xBF')) {
                for (int k = 0; k < 3; ++k) {
                    char escaped[4];
                    hex_encode_percent((unsigned char) pending[k], escaped);
                    out->append(escaped, 3);
                }
                ++simpleXml->controlReferencesEscaped;
                len = 0;
                continue;
            }
            // Another character: what was held goes as it came, and the last
            // byte is looked at again.
            out->append(pending, (size_t) (len - 1));
            len = 0;
            --i;
            continue;
        }
        bool complete = false;
        unsigned long value = 0;
        if (reference_prefix(pending, len, &complete, &value)) {
            if (complete) {
                if (forbidden_control(value)) {
                    char escaped[4];
                    hex_encode_percent((unsigned char) value, escaped);
                    out->append(escaped, 3);
                    ++simpleXml->controlReferencesEscaped;
                } else {
                    out->append(pending, (size_t) len);
                }
                len = 0;
            }
            continue;
        }
        // Not a reference after all: what was held goes as it came, and the
        // last byte is looked at again (it may begin a reference).
        out->append(pending, (size_t) (len - 1));
        len = 0;
        --i;
    }
}

void simplexml_deinitialize(SimpleXml *simpleXml)
{
    if (simpleXml->xmlParser) {
        xmlParserCtxtPtr ctxt = (xmlParserCtxtPtr) simpleXml->xmlParser;
        // A document type declaration makes libxml2 build a stand-in
        // document even in SAX mode; the context does not free it.
        if (ctxt->myDoc) {
            xmlFreeDoc(ctxt->myDoc);
            ctxt->myDoc = NULL;
        }
        xmlFreeParserCtxt(ctxt);
        simpleXml->xmlParser = NULL;
    }
}

S3Status simplexml_add(SimpleXml *simpleXml, const char *data, int dataLen)
{
    if (!simpleXml->xmlParser) {
        simpleXml->xmlParser =
            xmlCreatePushParserCtxt(&saxHandlerG, simpleXml, NULL, 0, NULL);
        if (!simpleXml->xmlParser) {
            return S3StatusInternalError;
        }
    }

    // The end is announced by simplexml_finish, for readers that need the
    // whole document.
    std::string escaped;
    if (simpleXml->escapeControlReferences) {
        escape_control_references(simpleXml, data, dataLen, &escaped);
        data = escaped.data();
        dataLen = (int) escaped.size();
    }
    if (xmlParseChunk((xmlParserCtxtPtr) simpleXml->xmlParser, data, dataLen,
                      0)) {
        return S3StatusXmlParseFailure;
    }
    return simpleXml->status;
}

S3Status simplexml_finish(SimpleXml *simpleXml)
{
    if (simpleXml->status != S3StatusOK) {
        return simpleXml->status;
    }
    xmlParserCtxtPtr ctxt = (xmlParserCtxtPtr) simpleXml->xmlParser;
    if (!ctxt) {
        return S3StatusXmlParseFailure;
    }
    // A reference the document ended in the middle of goes as it came.
    const int held = simpleXml->pendingReferenceLen;
    simpleXml->pendingReferenceLen = 0;
    if ((xmlParseChunk(ctxt, simpleXml->pendingReference, held, 1) || !ctxt->wellFormed) &&
        simpleXml->status == S3StatusOK) {
        simpleXml->status = S3StatusXmlParseFailure;
    }
    return simpleXml->status;
}
