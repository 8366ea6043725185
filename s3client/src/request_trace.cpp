// request_trace.cpp: libcurl's trace of a transfer, written as its verbose
// mode does, with every request signature replaced by "<redacted>".
#include "request_trace.h"

#include <strings.h>

#include <cstring>

namespace {

// What a signature looks like in the trace once it is replaced.
constexpr char kRedacted[] = "<redacted>";

bool starts_with_nocase(const char *text, const char *end, const char *prefix)
{
    size_t n = strlen(prefix);
    return static_cast<size_t>(end - text) >= n && strncasecmp(text, prefix, n) == 0;
}

// Writes one line of the trace (with its line end, if any) with every
// signature replaced: the V2 header's "AWS id:SIGNATURE", and the value of
// any "Signature=" (the V4 header, a pre-signed query's Signature or
// X-Amz-Signature) up to the next separator.
void trace_write_line(const char *line, const char *end, FILE *out)
{
    const char *p = line;
    if (starts_with_nocase(p, end, "authorization:")) {
        const char *value = p + strlen("authorization:");
        while (value < end && (*value == ' ' || *value == '\t')) {
            ++value;
        }
        if (starts_with_nocase(value, end, "AWS ") && !starts_with_nocase(value, end, "AWS4")) {
            const char *colon = static_cast<const char *>(
                memchr(value, ':', static_cast<size_t>(end - value)));
            if (colon) {
                const char *stop = colon + 1;
                while (stop < end && *stop != '\r' && *stop != '\n') {
                    ++stop;
                }
                fwrite(p, 1, static_cast<size_t>(colon + 1 - p), out);
                fputs(kRedacted, out);
                p = stop;
            }
        }
    }
    static const char kSignature[] = "Signature=";
    const size_t n = sizeof(kSignature) - 1;
    while (p < end) {
        const char *hit = nullptr;
        for (const char *q = p; q + n <= end; ++q) {
            if (strncasecmp(q, kSignature, n) == 0) {
                hit = q;
                break;
            }
        }
        if (!hit) {
            break;
        }
        const char *value = hit + n;
        const char *stop = value;
        while (stop < end && !strchr("& ,;\r\n\"", *stop)) {
            ++stop;
        }
        fwrite(p, 1, static_cast<size_t>(value - p), out);
        if (stop > value) {
            fputs(kRedacted, out);
        }
        p = stop;
    }
    fwrite(p, 1, static_cast<size_t>(end - p), out);
}

} // namespace

void request_trace_write(FILE *out, curl_infotype type, const char *data, size_t size)
{
    const char *prefix;
    switch (type) {
    case CURLINFO_TEXT:
        prefix = "* ";
        break;
    case CURLINFO_HEADER_IN:
        prefix = "< ";
        break;
    case CURLINFO_HEADER_OUT:
        prefix = "> ";
        break;
    default:
        return;
    }
    fputs(prefix, out);
    const char *p = data;
    const char *end = data + size;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *lineEnd = nl ? nl + 1 : end;
        trace_write_line(p, lineEnd, out);
        p = lineEnd;
    }
}

int request_trace_callback(CURL *, curl_infotype type, char *data, size_t size, void *)
{
    request_trace_write(stderr, type, data, size);
    return 0;
}
