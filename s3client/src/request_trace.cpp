// request_trace.cpp: libcurl's trace of a transfer, written as its verbose
// mode does, with every request signature and session token replaced by
// "<redacted>".
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

// The end of the line's text: before its CR and LF.
const char *text_end(const char *line, const char *end)
{
    while (end > line && (end[-1] == '\r' || end[-1] == '\n')) {
        --end;
    }
    return end;
}

// Writes one line of the trace (with its line end, if any) with every
// secret replaced: the value of an x-amz-security-token header, the V2
// header's "AWS id:SIGNATURE", and the value of any "Signature=" (the V4
// header, a pre-signed query's Signature or X-Amz-Signature) or
// "X-Amz-Security-Token=" (a pre-signed query) up to the next separator.
void trace_write_line(const char *line, const char *end, FILE *out)
{
    const char *p = line;
    static const char kTokenHeader[] = "x-amz-security-token:";
    if (starts_with_nocase(p, end, kTokenHeader)) {
        const char *value = p + sizeof(kTokenHeader) - 1;
        while (value < end && (*value == ' ' || *value == '\t')) {
            ++value;
        }
        const char *stop = text_end(value, end);
        fwrite(p, 1, static_cast<size_t>(value - p), out);
        if (stop > value) {
            fputs(kRedacted, out);
        }
        fwrite(stop, 1, static_cast<size_t>(end - stop), out);
        return;
    }
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
    static const char *const kSecretParams[] = {"Signature=", "X-Amz-Security-Token="};
    while (p < end) {
        const char *hit = nullptr;
        size_t n = 0;
        for (const char *q = p; !hit && q < end; ++q) {
            for (const char *param : kSecretParams) {
                const size_t len = strlen(param);
                if (q + len <= end && strncasecmp(q, param, len) == 0) {
                    hit = q;
                    n = len;
                    break;
                }
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
