// simplexml.h: a streaming XML reader that reports element texts and element
// ends by their full path from the root ("ListBucketResult/Contents/Key").
#pragma once

#include "s3client.h"

// Longest element path: 511 characters and the terminator.
#define SIMPLEXML_PATH_SIZE 512
// Longest character reference the reader holds back between two pieces
// ("&#x" and up to eight digits and ";", with room to spare).
#define SIMPLEXML_REFERENCE_SIZE 16

// Called for each run of text inside an element (data not terminated,
// dataLen bytes; an element's text may come in several calls) and once at
// the end of each element (data NULL, dataLen 0), with the path still
// naming that element.  Anything but S3StatusOK stops the reader for good.
typedef S3Status (*SimpleXmlCallback)(const char *elementPath,
                                      const char *data, int dataLen,
                                      void *callbackData);

// One document being read; storage belongs to the caller.
typedef struct SimpleXml
{
    void *xmlParser;                        // created at the first piece
    SimpleXmlCallback callback;
    void *callbackData;
    char elementPath[SIMPLEXML_PATH_SIZE];
    int elementPathLen;
    S3Status status;                        // sticks once not S3StatusOK
    // See simplexml_escape_control_references.
    int escapeControlReferences;
    int controlReferencesEscaped;           // how many were rewritten
    char pendingReference[SIMPLEXML_REFERENCE_SIZE];
    int pendingReferenceLen;                // a reference cut by a piece's end
} SimpleXml;

// Prepares a reader; creates nothing and cannot fail.
void simplexml_initialize(SimpleXml *simpleXml, SimpleXmlCallback callback,
                          void *callbackData);

// Makes the reader take a character reference to a control character that
// XML 1.0 forbids ("&#x01;", "&#1;", as some stores write a control byte of
// a text they did not URL-encode), such a control byte itself, and U+FFFE
// or U+FFFF written raw, as their URL encoding ("%01", "%EF%BF%BE")
// instead of failing the document; controlReferencesEscaped counts them.
// For a document whose texts are URL-encoded, that is the byte meant.
void simplexml_escape_control_references(SimpleXml *simpleXml);

// Feeds the next piece of the document (any size, any boundary) and makes
// the callbacks it completes.  Returns S3StatusXmlParseFailure for malformed
// XML or an over-long path, S3StatusInternalError when no parser could be
// created, else the sticky status.
S3Status simplexml_add(SimpleXml *simpleXml, const char *data, int dataLen);

// Tells the reader that the document has ended and makes the last callbacks.
// S3StatusXmlParseFailure unless a complete, well-formed document was read
// (nothing at all is no document), else the sticky status.
S3Status simplexml_finish(SimpleXml *simpleXml);

// Releases the parser, if any.  The reader must be initialised again before
// further use.
void simplexml_deinitialize(SimpleXml *simpleXml);
