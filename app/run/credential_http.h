// credential_http.h - the unsigned requests of the credential sources: a
// container's or an instance's credentials endpoint, the SSO portal, and
// STS's AssumeRoleWithWebIdentity. Never traced: their answers are keys.
#pragma once

#include <string>
#include <vector>

struct HttpAsk {
    std::string strMethod = "GET";
    std::string strUrl;
    std::vector<std::string> headers; // "Name: value"
    std::string strBody;              // sent when not empty (POST, PUT)
    std::string strCaFile;            // "" = the system's CA store
    long nConnectSeconds = 5;
    long nTotalSeconds = 30;
    int nRetries = 0; // further tries of a connection that failed or timed out
};

struct HttpAnswer {
    long nStatus = 0;
    std::string strBody;
};

// The largest answer read; a credentials answer is a few kilobytes.
constexpr std::size_t kMaxCredentialAnswer = 64 * 1024;

// Sends ask and reads its answer. False with strError saying why no answer
// came (the transfer's own reason); an answer of any HTTP status is true.
bool httpFetch(const HttpAsk &ask, HttpAnswer &answer, std::string &strError);

// The text of the first element named strName (any depth, namespace prefix
// ignored) of the XML document strXml; "" when there is none.
std::string xmlElementText(const std::string &strXml, const char *pszName);

// Percent-encodes everything but letters, digits and "-_.~" (a form value).
std::string formEncode(const std::string &str);

// Seconds since 1970 of an ISO 8601 time ("2026-12-09T20:00:00Z", with
// fractions or a "+hh:mm" offset); -1 when it is none.
long long parseIsoTime(const std::string &str);
