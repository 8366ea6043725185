// libFuzzer target: arbitrary bytes, cut into pieces chosen from the input,
// go through the XML reader, the error-document parser and the access
// control list conversion; the time and number parsers get the text too.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "error_parser.h"
#include "simplexml.h"
#include "util.h"

namespace {

struct Seen
{
    unsigned long calls;
    unsigned long bytes;
    int refuseAfter;
};

// Checks what the reader promises every callback.
S3Status check_callback(const char *elementPath, const char *data,
                        int dataLen, void *callbackData)
{
    Seen *seen = (Seen *) callbackData;
    if (strlen(elementPath) > SIMPLEXML_PATH_SIZE - 1 || dataLen < 0 ||
        (!data && dataLen)) {
        __builtin_trap();
    }
    if (data && dataLen) {
        // Touch every byte so the sanitizer sees any overrun.
        volatile unsigned long sum = 0;
        for (int i = 0; i < dataLen; ++i) {
            sum = sum + (unsigned char) data[i];
        }
        seen->bytes += (unsigned long) dataLen;
    }
    ++seen->calls;
    if (seen->refuseAfter >= 0 && seen->calls > (unsigned long) seen->refuseAfter) {
        return S3StatusAbortedByCallback;
    }
    return S3StatusOK;
}

// Piece sizes come from the input: the first byte picks the largest piece,
// later bytes the size of each piece in turn.
template <typename Feed>
void feed_in_pieces(const uint8_t *data, size_t size, uint8_t shape, Feed feed)
{
    const size_t largest = 1 + (size_t) (shape & 0x3f);
    size_t i = 0, k = 0;
    while (i < size) {
        size_t n = 1 + (size_t) (data[k++ % size] ^ shape) % largest;
        if (n > size - i) {
            n = size - i;
        }
        if (!feed(data + i, n)) {
            return;
        }
        i += n;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t shape = data[0];
    ++data;
    --size;

    // The reader, with a callback that may refuse part-way.
    Seen seen = {0, 0, (shape & 0x40) ? (int) (shape & 0x0f) : -1};
    SimpleXml xml;
    simplexml_initialize(&xml, check_callback, &seen);
    S3Status last = S3StatusOK;
    feed_in_pieces(data, size, shape, [&](const uint8_t *p, size_t n) {
        const S3Status s = simplexml_add(&xml, (const char *) p, (int) n);
        // A refusal sticks for every later piece that parses.
        if (last == S3StatusAbortedByCallback && s != S3StatusAbortedByCallback &&
            s != S3StatusXmlParseFailure) {
            __builtin_trap();
        }
        last = s;
        return true;
    });
    simplexml_deinitialize(&xml);

    // The error parser stops where the transport would.
    ErrorParser *parser = new ErrorParser;
    error_parser_initialize(parser);
    feed_in_pieces(data, size, (uint8_t) (shape >> 1), [&](const uint8_t *p, size_t n) {
        return error_parser_add(parser, (const char *) p, (int) n) == S3StatusOK;
    });
    S3Status status = S3StatusOK;
    error_parser_convert_status(parser, &status);
    const S3ErrorDetails &details = parser->s3ErrorDetails;
    if (details.extraDetailsCount < 0 || details.extraDetailsCount > MAX_EXTRA_DETAILS ||
        parser->extraDetailsNamesValuesSize > EXTRA_DETAILS_STORE_SIZE) {
        __builtin_trap();
    }
    volatile size_t total = 0;
    for (const char *text : {details.message, details.resource, details.furtherDetails}) {
        if (text) {
            total = total + strlen(text);
        }
    }
    for (int i = 0; i < details.extraDetailsCount; ++i) {
        total = total + strlen(details.extraDetails[i].name) +
                strlen(details.extraDetails[i].value);
    }
    error_parser_deinitialize(parser);
    delete parser;

    // The whole input as one access control list document.
    const std::string text((const char *) data, size);
    char ownerId[S3_MAX_GRANTEE_USER_ID_SIZE];
    char ownerDisplayName[S3_MAX_GRANTEE_DISPLAY_NAME_SIZE];
    int count = -1;
    S3AclGrant *grants = new S3AclGrant[S3_MAX_ACL_GRANT_COUNT];
    S3_convert_acl(text.c_str(), ownerId, ownerDisplayName, &count, grants);
    if (count < 0 || count > S3_MAX_ACL_GRANT_COUNT ||
        strlen(ownerId) >= sizeof(ownerId) ||
        strlen(ownerDisplayName) >= sizeof(ownerDisplayName)) {
        __builtin_trap();
    }
    delete[] grants;

    // Listing texts: times and sizes.
    volatile int64_t t = parse_iso8601_time(text.c_str());
    volatile uint64_t u = parse_unsigned_int(text.c_str());
    (void) t;
    (void) u;
    return 0;
}
