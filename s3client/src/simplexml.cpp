// simplexml.cpp: the streaming XML reader over libxml2's SAX push parser.
#include "simplexml.h"

#include <string.h>

#include <libxml/parser.h>
#include <libxml/entities.h>
#include <libxml/tree.h>

// ------------------------------------------------------------ SAX entries

static xmlEntityPtr saxGetEntity(void *, const xmlChar *name)
{
    // Only the five predefined entities; no DTD is read.
    return xmlGetPredefinedEntity(name);
}

static void saxStartElement(void *user_data, const xmlChar *nameUtf8,
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

static void saxEndElement(void *user_data, const xmlChar *)
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

static void saxCharacters(void *user_data, const xmlChar *ch, int len)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status != S3StatusOK) {
        return;
    }
    simpleXml->status = simpleXml->callback(simpleXml->elementPath,
                                            (const char *) ch, len,
                                            simpleXml->callbackData);
}

static void saxError(void *user_data, const char *, ...)
{
    SimpleXml *simpleXml = (SimpleXml *) user_data;
    if (simpleXml->status == S3StatusOK) {
        simpleXml->status = S3StatusXmlParseFailure;
    }
}

// Warnings are not reported; without this entry libxml2 would print them.
static void saxWarning(void *, const char *, ...)
{
}

// Shared by every reader and never changed.  initialized stays 0, so libxml2
// calls the plain element entries: names as written, no namespaces.
static xmlSAXHandler make_sax_handler()
{
    xmlSAXHandler handler;
    memset(&handler, 0, sizeof(handler));
    handler.getEntity = saxGetEntity;
    handler.startElement = saxStartElement;
    handler.endElement = saxEndElement;
    handler.characters = saxCharacters;
    handler.cdataBlock = saxCharacters;
    handler.warning = saxWarning;
    handler.error = saxError;
    handler.fatalError = saxError;
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
    if ((xmlParseChunk(ctxt, NULL, 0, 1) || !ctxt->wellFormed) &&
        simpleXml->status == S3StatusOK) {
        simpleXml->status = S3StatusXmlParseFailure;
    }
    return simpleXml->status;
}
