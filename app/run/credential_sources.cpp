// credential_sources.cpp - the temporary credential sources, each fetched
// through its own service: STS (signed V4 by the client, or unsigned for a
// web identity), a credential_process, the SSO portal, a container's or an
// instance's credentials endpoint.
#include "credential_sources.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "console.h"
#include "credential_http.h"
#include "s3client.h"
#include "settings.h"

namespace {

// The most a credential_process may print.
constexpr std::size_t kMaxProcessOutput = 64 * 1024;
// A source_profile may name a profile that assumes a role in turn; so deep.
constexpr int kMostChained = 5;

const char *setVar(const SourceSettings &s, const char *pszName)
{
    const char *pszValue = s.getVar(pszName);
    return pszValue && *pszValue ? pszValue : nullptr;
}

// Why keys cannot be signed with, or "" when they can.
std::string keyProblem(const Credentials &creds)
{
    const struct {
        const char *pszName; // with its article
        const std::string *pstr;
        std::size_t maxSize;
        bool bNeeded;
    } fields[] = {{"an access key id", &creds.strAccessKeyId, kMaxAccessKeyIdSize, true},
                  {"a secret access key", &creds.strSecretAccessKey, kMaxSecretAccessKeySize, true},
                  {"a session token", &creds.strSessionToken, kMaxSessionTokenSize, false}};
    for (const auto &f : fields) {
        const std::string strName = f.pszName;
        if (f.pstr->empty() && f.bNeeded)
            return "no " + strName.substr(strName.find(' ') + 1);
        if (f.pstr->size() > f.maxSize)
            return strName + " longer than " + std::to_string(f.maxSize) + " bytes";
        for (unsigned char c : *f.pstr) {
            if (c < 0x20 || c == 0x7f)
                return strName + " holding a control character";
        }
    }
    return "";
}

bool readSmallFile(const std::string &strPath, std::string &strText, std::string &strWhy)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in) {
        strWhy = "cannot read " + consoleText(strPath) + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    strText = ss.str();
    while (!strText.empty() && std::strchr(" \t\r\n", strText.back()))
        strText.pop_back();
    if (strText.empty()) {
        strWhy = consoleText(strPath) + " is empty";
        return false;
    }
    return true;
}

// A short excerpt of a refusal's text for a line (answers may be long).
std::string excerpt(const std::string &str)
{
    std::string strOut = consoleText(str.substr(0, 200));
    for (char &c : strOut) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return strOut;
}

std::string jsonText(const nlohmann::json &j, const char *pszName)
{
    const auto it = j.find(pszName);
    return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// The region STS and the SSO portal are asked in: the variables, then the profile's.
std::string regionOf(const SourceSettings &s, const std::string &strProfile)
{
    if (const char *psz = setVar(s, "AWS_REGION"))
        return psz;
    if (const char *psz = setVar(s, "AWS_DEFAULT_REGION"))
        return psz;
    const std::string strRegion = s.config.valueOf(strProfile, "region");
    return strRegion.empty() ? "us-east-1" : strRegion;
}

// ---- key pairs that are there already

class StaticSource : public CredentialSource {
public:
    StaticSource(const std::string &strWhere, const Credentials &creds) : creds(creds)
    {
        strName = strWhere;
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strWhy = keyProblem(creds);
        if (!strWhy.empty()) {
            strError = "credentials: " + strName + ": " + strWhy;
            return false;
        }
        out = TemporaryCredentials();
        out.creds = creds;
        return true;
    }

private:
    Credentials creds;
};

// ---- credential_process

class ProcessSource : public CredentialSource {
public:
    ProcessSource(const std::string &strWhere, const std::string &strCommand) : strCommand(strCommand)
    {
        strName = "credential_process of " + strWhere;
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strHead = "credentials: " + strName;
        std::fflush(nullptr);
        std::FILE *pipe = ::popen(strCommand.c_str(), "r");
        if (!pipe) {
            strError = strHead + " cannot be started (" + std::strerror(errno) + ")";
            return false;
        }
        std::string strOut;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
            if (strOut.size() < kMaxProcessOutput)
                strOut.append(buf, n);
        }
        const int nStatus = ::pclose(pipe);
        if (nStatus == -1 || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
            strError = strHead + (nStatus != -1 && WIFEXITED(nStatus)
                                      ? " exited with status " + std::to_string(WEXITSTATUS(nStatus))
                                      : std::string(" did not exit normally"));
            return false;
        }
        std::string strWhy;
        if (strOut.size() >= kMaxProcessOutput)
            strWhy = "printed more than 64 KiB";
        else
            readCredentialsJson(strOut, true, out, strWhy);
        if (!strWhy.empty()) {
            strError = strHead + " printed no usable credentials: " + strWhy;
            return false;
        }
        return true;
    }

private:
    std::string strCommand;
};

// ---- STS: AssumeRole (signed with the source's keys) and AssumeRoleWithWebIdentity

struct StsTarget {
    std::string strHost;
    bool bHttps = true;
    std::string strRegion;
};

StsTarget stsTarget(const SourceSettings &s, const std::string &strProfile)
{
    StsTarget target;
    target.strRegion = regionOf(s, strProfile);
    if (const char *pszUrl = setVar(s, "AWS_ENDPOINT_URL_STS")) {
        const Endpoint endpoint = parseEndpoint(pszUrl);
        target.strHost = endpoint.strHost;
        target.bHttps = endpoint.bHttps;
    } else {
        target.strHost = "sts." + target.strRegion + ".amazonaws.com";
    }
    return target;
}

struct RoleAsk {
    std::string strRoleArn, strSessionName, strExternalId, strDuration;
};

std::string roleBody(const char *pszAction, const RoleAsk &role)
{
    std::string strBody = std::string("Action=") + pszAction + "&Version=2011-06-15&RoleArn=" +
                          formEncode(role.strRoleArn) + "&RoleSessionName=" +
                          formEncode(role.strSessionName);
    if (!role.strExternalId.empty())
        strBody += "&ExternalId=" + formEncode(role.strExternalId);
    if (!role.strDuration.empty())
        strBody += "&DurationSeconds=" + formEncode(role.strDuration);
    return strBody;
}

// The keys of an STS answer, or why there are none.
bool stsKeys(const std::string &strId, const std::string &strSecret, const std::string &strToken,
             const std::string &strExpiration, TemporaryCredentials &out, std::string &strWhy)
{
    out = TemporaryCredentials();
    out.creds.strAccessKeyId = strId;
    out.creds.strSecretAccessKey = strSecret;
    out.creds.strSessionToken = strToken;
    strWhy = keyProblem(out.creds);
    if (strWhy.empty() && out.creds.strSessionToken.empty())
        strWhy = "no session token";
    if (!strWhy.empty())
        return false;
    out.expiration = strExpiration.empty() ? 0 : parseIsoTime(strExpiration);
    if (out.expiration < 0) {
        strWhy = "an Expiration that is no time: " + excerpt(strExpiration);
        return false;
    }
    return true;
}

struct ServiceCall {
    S3Status status = S3StatusInternalError;
    int nHttpStatus = 0;
    std::string strCode, strMessage;
    std::string texts[4];
};

S3Status onServiceAnswer(const S3ServiceAnswer *answer, void *data)
{
    ServiceCall &call = *static_cast<ServiceCall *>(data);
    call.nHttpStatus = answer->httpStatus;
    for (int i = 0; i < answer->elementCount && i < 4; ++i)
        call.texts[i] = answer->elementTexts[i];
    return S3StatusOK;
}

void onServiceComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    ServiceCall &call = *static_cast<ServiceCall *>(data);
    call.status = status;
    if (details) {
        call.strCode = details->code ? details->code : "";
        call.strMessage = details->message ? details->message : "";
        if (details->httpStatus)
            call.nHttpStatus = details->httpStatus;
    }
}

class AssumeRoleSource : public CredentialSource {
public:
    AssumeRoleSource(const std::string &strWhere, const RoleAsk &role, const StsTarget &target,
                     std::unique_ptr<CredentialSource> inner)
        : role(role), target(target), inner(std::move(inner))
    {
        strName = "role " + role.strRoleArn + " of " + strWhere + " (STS AssumeRole with " +
                  this->inner->name() + ")";
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        TemporaryCredentials source;
        if (!inner->fetch(source, strError))
            return false;
        const std::string strBody = roleBody("AssumeRole", role);
        static const char *const kNames[] = {"AccessKeyId", "SecretAccessKey", "SessionToken",
                                             "Expiration"};
        const S3NameValue headers[] = {
            {"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}};
        S3ServiceRequest request;
        std::memset(&request, 0, sizeof request);
        request.method = "POST";
        request.protocol = target.bHttps ? S3ProtocolHTTPS : S3ProtocolHTTP;
        request.hostName = target.strHost.c_str();
        request.path = "/";
        request.headers = headers;
        request.headerCount = 1;
        request.body = strBody.c_str();
        request.bodySize = static_cast<int64_t>(strBody.size());
        request.service = "sts";
        request.region = target.strRegion.c_str();
        request.accessKeyId = source.creds.strAccessKeyId.c_str();
        request.secretAccessKey = source.creds.strSecretAccessKey.c_str();
        request.securityToken = source.creds.strSessionToken.c_str();
        request.answerElementNames = kNames;
        request.answerElementCount = 4;
        S3ServiceRequestHandler handler;
        std::memset(&handler, 0, sizeof handler);
        handler.responseHandler.completeCallback = onServiceComplete;
        handler.answerCallback = onServiceAnswer;
        ServiceCall call;
        S3_send_service_request(&request, nullptr, &handler, &call);
        const std::string strHead = "credentials: " + strName + ": ";
        if (call.status != S3StatusOK) {
            strError = strHead + "STS " + target.strHost + " refused: " +
                       (call.strCode.empty() ? std::string(S3_get_status_name(call.status))
                                             : call.strCode + " " + excerpt(call.strMessage));
            return false;
        }
        std::string strWhy;
        if (!stsKeys(call.texts[0], call.texts[1], call.texts[2], call.texts[3], out, strWhy)) {
            strError = strHead + "STS answered " + strWhy;
            return false;
        }
        return true;
    }

private:
    RoleAsk role;
    StsTarget target;
    std::unique_ptr<CredentialSource> inner;
};

class WebIdentitySource : public CredentialSource {
public:
    WebIdentitySource(const std::string &strWhere, const RoleAsk &role, const std::string &strTokenFile,
                      const StsTarget &target, const std::string &strCaFile)
        : role(role), strTokenFile(strTokenFile), target(target), strCaFile(strCaFile)
    {
        strName = "web identity " + consoleText(strTokenFile) + " for role " + role.strRoleArn +
                  " (" + strWhere + ")";
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strHead = "credentials: " + strName + ": ";
        std::string strToken, strWhy;
        // Read again each time: the runner renews the file.
        if (!readSmallFile(strTokenFile, strToken, strWhy)) {
            strError = strHead + strWhy;
            return false;
        }
        HttpAsk ask;
        ask.strMethod = "POST";
        ask.strUrl = std::string(target.bHttps ? "https://" : "http://") + target.strHost + "/";
        ask.headers = {"Content-Type: application/x-www-form-urlencoded; charset=utf-8"};
        ask.strBody = roleBody("AssumeRoleWithWebIdentity", role) + "&WebIdentityToken=" +
                      formEncode(strToken);
        ask.strCaFile = strCaFile;
        ask.nRetries = 1;
        HttpAnswer answer;
        if (!httpFetch(ask, answer, strWhy)) {
            strError = strHead + "STS " + target.strHost + " gave no answer (" + strWhy + ")";
            return false;
        }
        if (answer.nStatus != 200) {
            strError = strHead + "STS " + target.strHost + " refused: " +
                       xmlElementText(answer.strBody, "Code") + " " +
                       excerpt(xmlElementText(answer.strBody, "Message")) + " (HTTP " +
                       std::to_string(answer.nStatus) + ")";
            return false;
        }
        if (!stsKeys(xmlElementText(answer.strBody, "AccessKeyId"),
                     xmlElementText(answer.strBody, "SecretAccessKey"),
                     xmlElementText(answer.strBody, "SessionToken"),
                     xmlElementText(answer.strBody, "Expiration"), out, strWhy)) {
            strError = strHead + "STS answered " + strWhy;
            return false;
        }
        return true;
    }

private:
    RoleAsk role;
    std::string strTokenFile;
    StsTarget target;
    std::string strCaFile;
};

// ---- a container's endpoint, the instance's metadata

bool loopbackOrContainerHost(const std::string &strUrl)
{
    const std::size_t start = strUrl.find("://");
    if (start == std::string::npos)
        return false;
    std::string strHost = strUrl.substr(start + 3);
    strHost = strHost.substr(0, strHost.find('/'));
    if (!strHost.empty() && strHost[0] == '[')
        strHost = strHost.substr(1, strHost.find(']') - 1);
    else
        strHost = strHost.substr(0, strHost.find(':'));
    return strHost == "localhost" || strHost.compare(0, 4, "127.") == 0 || strHost == "::1" ||
           strHost == "169.254.170.2" || strHost == "169.254.170.23" || strHost == "fd00:ec2::23";
}

bool fetchJsonKeys(const std::string &strHead, const HttpAsk &ask, TemporaryCredentials &out,
                   std::string &strError)
{
    HttpAnswer answer;
    std::string strWhy;
    if (!httpFetch(ask, answer, strWhy)) {
        strError = strHead + "no answer (" + strWhy + ")";
        return false;
    }
    if (answer.nStatus != 200) {
        strError = strHead + "refused (HTTP " + std::to_string(answer.nStatus) + ")";
        return false;
    }
    if (!readCredentialsJson(answer.strBody, false, out, strWhy)) {
        strError = strHead + "answered no usable credentials: " + strWhy;
        return false;
    }
    return true;
}

class ContainerSource : public CredentialSource {
public:
    ContainerSource(const std::string &strWhere, const std::string &strUrl, const std::string &strToken,
                    const std::string &strTokenFile, const std::string &strCaFile)
        : strUrl(strUrl), strToken(strToken), strTokenFile(strTokenFile), strCaFile(strCaFile)
    {
        strName = "container endpoint " + consoleText(strUrl) + " (" + strWhere + ")";
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strHead = "credentials: " + strName + ": ";
        HttpAsk ask;
        ask.strUrl = strUrl;
        ask.strCaFile = strCaFile;
        ask.nConnectSeconds = 2;
        ask.nTotalSeconds = 10;
        ask.nRetries = 1;
        std::string strAuth = strToken, strWhy;
        if (!strTokenFile.empty() && !readSmallFile(strTokenFile, strAuth, strWhy)) {
            strError = strHead + strWhy;
            return false;
        }
        if (!strAuth.empty()) {
            if (strAuth.find_first_of("\r\n") != std::string::npos) {
                strError = strHead + "the authorization token holds a line break";
                return false;
            }
            ask.headers.push_back("Authorization: " + strAuth);
        }
        return fetchJsonKeys(strHead, ask, out, strError);
    }

private:
    std::string strUrl, strToken, strTokenFile, strCaFile;
};

class InstanceSource : public CredentialSource {
public:
    InstanceSource(const std::string &strWhere, const std::string &strEndpoint)
        : strBase(strEndpoint)
    {
        while (!strBase.empty() && strBase.back() == '/')
            strBase.pop_back();
        strName = "instance metadata " + consoleText(strBase) + " (" + strWhere + ")";
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strHead = "credentials: " + strName + ": ";
        // IMDSv2: a session token first, then the role's name and keys with it.
        HttpAsk ask;
        ask.nConnectSeconds = 1;
        ask.nTotalSeconds = 3;
        ask.nRetries = 1;
        ask.strMethod = "PUT";
        ask.strUrl = strBase + "/latest/api/token";
        ask.headers = {"X-aws-ec2-metadata-token-ttl-seconds: 21600"};
        HttpAnswer answer;
        std::string strWhy;
        if (!httpFetch(ask, answer, strWhy) || answer.nStatus != 200 || answer.strBody.empty()) {
            strError = strHead + "no session token (" +
                       (strWhy.empty() ? "HTTP " + std::to_string(answer.nStatus) : strWhy) + ")";
            return false;
        }
        const std::string strToken = answer.strBody;
        ask.strMethod = "GET";
        ask.headers = {"X-aws-ec2-metadata-token: " + strToken};
        ask.strUrl = strBase + "/latest/meta-data/iam/security-credentials/";
        if (!httpFetch(ask, answer, strWhy) || answer.nStatus != 200) {
            strError = strHead + "no role (" +
                       (strWhy.empty() ? "HTTP " + std::to_string(answer.nStatus) : strWhy) + ")";
            return false;
        }
        std::string strRole = answer.strBody.substr(0, answer.strBody.find('\n'));
        while (!strRole.empty() && std::strchr(" \t\r", strRole.back()))
            strRole.pop_back();
        if (strRole.empty() || strRole.find_first_of("/?#%") != std::string::npos) {
            strError = strHead + "no role attached to the instance";
            return false;
        }
        ask.strUrl += strRole;
        return fetchJsonKeys(strHead, ask, out, strError);
    }

private:
    std::string strBase;
};

// ---- SSO

class SsoSource : public CredentialSource {
public:
    SsoSource(const std::string &strWhere, const std::string &strCacheFile,
              const std::string &strPortal, bool bHttps, const std::string &strAccount,
              const std::string &strRole, const std::string &strCaFile)
        : strCacheFile(strCacheFile), strPortal(strPortal), bHttps(bHttps),
          strAccount(strAccount), strRole(strRole), strCaFile(strCaFile)
    {
        strName = "SSO role " + strRole + " of account " + strAccount + " (" + strWhere + ")";
    }
    bool fetch(TemporaryCredentials &out, std::string &strError) override
    {
        const std::string strHead = "credentials: " + strName + ": ";
        const std::string strLogin = "run aws sso login";
        std::string strCache, strWhy;
        if (!readSmallFile(strCacheFile, strCache, strWhy)) {
            strError = strHead + "no cached SSO login (" + strWhy + "): " + strLogin;
            return false;
        }
        const nlohmann::json cache = nlohmann::json::parse(strCache, nullptr, false);
        const std::string strToken = cache.is_object() ? jsonText(cache, "accessToken") : "";
        const long long expires = cache.is_object() ? parseIsoTime(jsonText(cache, "expiresAt")) : -1;
        if (strToken.empty() || strToken.find_first_of("\r\n") != std::string::npos) {
            strError = strHead + "the cached SSO login " + consoleText(strCacheFile) +
                       " holds no access token: " + strLogin;
            return false;
        }
        if (expires >= 0 && expires <= static_cast<long long>(std::time(nullptr))) {
            strError = strHead + "the SSO login has expired: " + strLogin;
            return false;
        }
        HttpAsk ask;
        ask.strUrl = std::string(bHttps ? "https://" : "http://") + strPortal +
                     "/federation/credentials?account_id=" + formEncode(strAccount) +
                     "&role_name=" + formEncode(strRole);
        ask.headers = {"x-amz-sso_bearer_token: " + strToken};
        ask.strCaFile = strCaFile;
        ask.nRetries = 1;
        HttpAnswer answer;
        if (!httpFetch(ask, answer, strWhy)) {
            strError = strHead + "the SSO portal " + strPortal + " gave no answer (" + strWhy + ")";
            return false;
        }
        if (answer.nStatus == 401 || answer.nStatus == 403) {
            strError = strHead + "the SSO portal refused the login (HTTP " +
                       std::to_string(answer.nStatus) + "): " + strLogin;
            return false;
        }
        const nlohmann::json j = nlohmann::json::parse(answer.strBody, nullptr, false);
        const auto role = j.is_object() ? j.find("roleCredentials") : j.end();
        if (answer.nStatus != 200 || !j.is_object() || role == j.end() || !role->is_object()) {
            strError = strHead + "the SSO portal answered no credentials (HTTP " +
                       std::to_string(answer.nStatus) + ")";
            return false;
        }
        out = TemporaryCredentials();
        out.creds.strAccessKeyId = jsonText(*role, "accessKeyId");
        out.creds.strSecretAccessKey = jsonText(*role, "secretAccessKey");
        out.creds.strSessionToken = jsonText(*role, "sessionToken");
        const auto expiration = role->find("expiration");
        if (expiration != role->end() && expiration->is_number())
            out.expiration = expiration->get<long long>() / 1000; // milliseconds
        strWhy = keyProblem(out.creds);
        if (!strWhy.empty()) {
            strError = strHead + "the SSO portal answered " + strWhy;
            return false;
        }
        return true;
    }

private:
    std::string strCacheFile, strPortal;
    bool bHttps;
    std::string strAccount, strRole, strCaFile;
};

std::string sha1Hex(const std::string &str)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(str.data()), str.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string strHex;
    for (unsigned char c : digest) {
        strHex += kHex[c >> 4];
        strHex += kHex[c & 15];
    }
    return strHex;
}

// ---- what a profile names

class Finder {
public:
    Finder(const SourceSettings &s) : s(s)
    {
        if (!s.strCredentialsFile.empty()) {
            struct stat st;
            if (stat(s.strCredentialsFile.c_str(), &st) == 0)
                readIniSections(s.strCredentialsFile, "credentials file", credentialSections,
                                strCredentialsError);
        }
    }

    // The source profile strProfile names; null with strError when it names
    // something unusable; null without when it names none.
    std::unique_ptr<CredentialSource> profileSource(const std::string &strProfile, int nDepth,
                                                    std::string &strError)
    {
        const AwsSection *profile = s.config.profile(strProfile);
        if (!profile)
            return nullptr;
        const std::string strWhere = s.config.place(strProfile);
        auto value = [&](const char *pszKey) { return s.config.valueOf(strProfile, pszKey); };
        const std::string strRoleArn = value("role_arn");
        if (!strRoleArn.empty()) {
            RoleAsk role;
            role.strRoleArn = strRoleArn;
            role.strSessionName = value("role_session_name");
            if (role.strSessionName.empty())
                role.strSessionName = "sitemirror-" + std::to_string(std::time(nullptr));
            role.strExternalId = value("external_id");
            role.strDuration = value("duration_seconds");
            if (!value("mfa_serial").empty()) {
                strError = "credentials: " + strWhere +
                           " asks for an MFA code (mfa_serial), which a run cannot give";
                return nullptr;
            }
            const StsTarget target = stsTarget(s, strProfile);
            const std::string strTokenFile = value("web_identity_token_file");
            if (!strTokenFile.empty())
                return std::make_unique<WebIdentitySource>(strWhere, role, strTokenFile, target,
                                                           s.strCaFile);
            std::unique_ptr<CredentialSource> inner;
            const std::string strSourceProfile = value("source_profile");
            const std::string strCredentialSource = value("credential_source");
            if (!strSourceProfile.empty()) {
                if (nDepth >= kMostChained) {
                    strError = "credentials: " + strWhere + ": source_profile chain longer than " +
                               std::to_string(kMostChained);
                    return nullptr;
                }
                inner = keysOf(strSourceProfile);
                if (!inner && strSourceProfile != strProfile)
                    inner = profileSource(strSourceProfile, nDepth + 1, strError);
                if (!inner) {
                    if (strError.empty())
                        strError = "credentials: " + strWhere + ": source_profile " +
                                   consoleText(strSourceProfile) + " has no keys in " +
                                   consoleText(s.strCredentialsFile) + " or " +
                                   consoleText(s.config.strFile);
                    return nullptr;
                }
            } else if (strCredentialSource == "Environment") {
                inner = environmentKeys(strWhere, strError);
            } else if (strCredentialSource == "EcsContainer") {
                inner = containerSource(strWhere + " credential_source", strError);
                if (!inner && strError.empty())
                    strError = "credentials: " + strWhere + ": credential_source = EcsContainer, but "
                               "AWS_CONTAINER_CREDENTIALS_FULL_URI and "
                               "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI are not set";
            } else if (strCredentialSource == "Ec2InstanceMetadata") {
                inner = instanceSource(strWhere + " credential_source");
            } else {
                strError = "credentials: " + strWhere + " has role_arn but " +
                           (strCredentialSource.empty()
                                ? std::string("no source_profile or credential_source")
                                : "credential_source " + consoleText(strCredentialSource) +
                                      " (accepted: Environment, Ec2InstanceMetadata, "
                                      "EcsContainer)");
                return nullptr;
            }
            if (!inner)
                return nullptr;
            return std::make_unique<AssumeRoleSource>(strWhere, role, target, std::move(inner));
        }
        const std::string strSsoSession = value("sso_session");
        const std::string strStartUrl = value("sso_start_url");
        if (!strSsoSession.empty() || !strStartUrl.empty())
            return ssoSource(strProfile, strWhere, strSsoSession, strStartUrl, strError);
        const std::string strProcess = value("credential_process");
        if (!strProcess.empty())
            return std::make_unique<ProcessSource>(strWhere, strProcess);
        if (!value("aws_access_key_id").empty() || !value("aws_secret_access_key").empty()) {
            Credentials creds;
            creds.strAccessKeyId = value("aws_access_key_id");
            creds.strSecretAccessKey = value("aws_secret_access_key");
            creds.strSessionToken = value("aws_session_token");
            return std::make_unique<StaticSource>(strWhere, creds);
        }
        return nullptr;
    }

    // The key pair of a profile of the credentials file, else of the config file.
    std::unique_ptr<CredentialSource> keysOf(const std::string &strProfile)
    {
        const auto it = credentialSections.find(strProfile);
        if (it != credentialSections.end() && it->second.count("aws_access_key_id")) {
            Credentials creds;
            creds.strAccessKeyId = it->second["aws_access_key_id"];
            creds.strSecretAccessKey = it->second["aws_secret_access_key"];
            creds.strSessionToken = it->second["aws_session_token"];
            return std::make_unique<StaticSource>("profile [" + consoleText(strProfile) + "] in " +
                                                      consoleText(s.strCredentialsFile),
                                                  creds);
        }
        if (!s.config.valueOf(strProfile, "aws_access_key_id").empty()) {
            Credentials creds;
            creds.strAccessKeyId = s.config.valueOf(strProfile, "aws_access_key_id");
            creds.strSecretAccessKey = s.config.valueOf(strProfile, "aws_secret_access_key");
            creds.strSessionToken = s.config.valueOf(strProfile, "aws_session_token");
            return std::make_unique<StaticSource>(s.config.place(strProfile), creds);
        }
        return nullptr;
    }

    std::unique_ptr<CredentialSource> environmentKeys(const std::string &strWhere, std::string &strError)
    {
        const char *pszId = setVar(s, "AWS_ACCESS_KEY_ID");
        const char *pszSecret = setVar(s, "AWS_SECRET_ACCESS_KEY");
        if (!pszId || !pszSecret) {
            strError = "credentials: " + strWhere + ": credential_source = Environment, but "
                       "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY are not both set";
            return nullptr;
        }
        Credentials creds;
        creds.strAccessKeyId = pszId;
        creds.strSecretAccessKey = pszSecret;
        if (const char *pszToken = setVar(s, "AWS_SESSION_TOKEN"))
            creds.strSessionToken = pszToken;
        return std::make_unique<StaticSource>("environment", creds);
    }

    // A container's endpoint when the variables name one; null otherwise,
    // with strError when they name one that may not be used.
    std::unique_ptr<CredentialSource> containerSource(const std::string &strWhere, std::string &strError)
    {
        std::string strUrl;
        const char *pszVar = nullptr;
        if (const char *pszRelative = setVar(s, "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) {
            strUrl = std::string("http://169.254.170.2") + pszRelative;
            pszVar = "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI";
        } else if (const char *pszFull = setVar(s, "AWS_CONTAINER_CREDENTIALS_FULL_URI")) {
            strUrl = pszFull;
            pszVar = "AWS_CONTAINER_CREDENTIALS_FULL_URI";
            const bool bHttps = strUrl.compare(0, 8, "https://") == 0;
            if (!bHttps && !(strUrl.compare(0, 7, "http://") == 0 && loopbackOrContainerHost(strUrl))) {
                strError = "credentials: AWS_CONTAINER_CREDENTIALS_FULL_URI=" + consoleText(strUrl) +
                           ": plain http only to this machine or the container agent; "
                           "others need https://";
                return nullptr;
            }
        } else {
            return nullptr;
        }
        std::string strToken, strTokenFile;
        if (const char *pszFile = setVar(s, "AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE"))
            strTokenFile = pszFile;
        else if (const char *pszToken = setVar(s, "AWS_CONTAINER_AUTHORIZATION_TOKEN"))
            strToken = pszToken;
        return std::make_unique<ContainerSource>(strWhere.empty() ? pszVar : strWhere, strUrl,
                                                 strToken, strTokenFile, s.strCaFile);
    }

    std::unique_ptr<CredentialSource> instanceSource(const std::string &strWhere)
    {
        const char *pszEndpoint = setVar(s, "AWS_EC2_METADATA_SERVICE_ENDPOINT");
        return std::make_unique<InstanceSource>(strWhere,
                                                pszEndpoint ? pszEndpoint : "http://169.254.169.254");
    }

    std::unique_ptr<CredentialSource> ssoSource(const std::string &strProfile, const std::string &strWhere,
                                                const std::string &strSession,
                                                const std::string &strStartUrl, std::string &strError)
    {
        std::string strRegion = s.config.valueOf(strProfile, "sso_region");
        std::string strCacheKey = strStartUrl;
        if (!strSession.empty()) {
            const auto it = s.config.sections.find("sso-session " + strSession);
            if (it == s.config.sections.end()) {
                strError = "credentials: " + strWhere + " names sso_session " +
                           consoleText(strSession) + ", but " + consoleText(s.config.strFile) +
                           " has no [sso-session " + consoleText(strSession) + "]";
                return nullptr;
            }
            const auto region = it->second.find("sso_region");
            if (region != it->second.end())
                strRegion = region->second;
            strCacheKey = strSession;
        }
        const std::string strAccount = s.config.valueOf(strProfile, "sso_account_id");
        const std::string strRole = s.config.valueOf(strProfile, "sso_role_name");
        if (strAccount.empty() || strRole.empty() || strRegion.empty()) {
            strError = "credentials: " + strWhere + " is an SSO profile without " +
                       (strAccount.empty() ? "sso_account_id" : strRole.empty() ? "sso_role_name"
                                                                                  : "sso_region");
            return nullptr;
        }
        const char *pszHome = setVar(s, "HOME");
        const std::string strCacheFile = std::string(pszHome ? pszHome : "") + "/.aws/sso/cache/" +
                                         sha1Hex(strCacheKey) + ".json";
        std::string strPortal = "portal.sso." + strRegion + ".amazonaws.com";
        bool bHttps = true;
        if (const char *pszUrl = setVar(s, "AWS_ENDPOINT_URL_SSO")) {
            const Endpoint endpoint = parseEndpoint(pszUrl);
            strPortal = endpoint.strHost;
            bHttps = endpoint.bHttps;
        }
        return std::make_unique<SsoSource>(strWhere, strCacheFile, strPortal, bHttps, strAccount,
                                           strRole, s.strCaFile);
    }

    const SourceSettings &s;
    std::map<std::string, AwsSection> credentialSections;
    std::string strCredentialsError;
};

} // namespace

bool readCredentialsJson(const std::string &strJson, bool bProcess, TemporaryCredentials &out,
                         std::string &strWhy)
{
    const nlohmann::json j = nlohmann::json::parse(strJson, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        strWhy = "not a JSON object";
        return false;
    }
    if (bProcess) {
        const auto version = j.find("Version");
        if (version == j.end() || !version->is_number_integer() || version->get<int>() != 1) {
            strWhy = "Version is not 1";
            return false;
        }
    }
    out = TemporaryCredentials();
    out.creds.strAccessKeyId = jsonText(j, "AccessKeyId");
    out.creds.strSecretAccessKey = jsonText(j, "SecretAccessKey");
    out.creds.strSessionToken = jsonText(j, bProcess ? "SessionToken" : "Token");
    strWhy = keyProblem(out.creds);
    if (!strWhy.empty())
        return false;
    const std::string strExpiration = jsonText(j, "Expiration");
    if (!strExpiration.empty()) {
        out.expiration = parseIsoTime(strExpiration);
        if (out.expiration < 0) {
            strWhy = "an Expiration that is no ISO 8601 time: " + excerpt(strExpiration);
            return false;
        }
    }
    return true;
}

SourceLookup findCredentialSource(const SourceSettings &settings, bool bProfileOnly,
                                  std::unique_ptr<CredentialSource> &source,
                                  std::string &strError, std::string &strLooked)
{
    Finder finder(settings);
    strError.clear();
    const std::string &strProfile = settings.config.strProfile;
    source = finder.profileSource(strProfile, 0, strError);
    if (source)
        return SourceFound;
    if (!strError.empty())
        return SourceBroken;
    strLooked = "profile [" + consoleText(strProfile) + "] in the config file " +
                (settings.config.strFile.empty() ? std::string("(HOME is not set)")
                                                 : consoleText(settings.config.strFile) +
                                                       (settings.config.bFileThere
                                                            ? " (no such profile)"
                                                            : " (no such file)"));
    if (bProfileOnly)
        return SourceNotSet;

    const char *pszTokenFile = setVar(settings, "AWS_WEB_IDENTITY_TOKEN_FILE");
    const char *pszRoleArn = setVar(settings, "AWS_ROLE_ARN");
    if (pszTokenFile || pszRoleArn) {
        if (!pszTokenFile || !pszRoleArn) {
            strError = std::string("credentials: ") +
                       (pszTokenFile ? "AWS_WEB_IDENTITY_TOKEN_FILE" : "AWS_ROLE_ARN") +
                       " is set in the environment but " +
                       (pszTokenFile ? "AWS_ROLE_ARN" : "AWS_WEB_IDENTITY_TOKEN_FILE") + " is not";
            return SourceBroken;
        }
        RoleAsk role;
        role.strRoleArn = pszRoleArn;
        const char *pszSession = setVar(settings, "AWS_ROLE_SESSION_NAME");
        role.strSessionName = pszSession ? pszSession : "sitemirror-" + std::to_string(std::time(nullptr));
        source = std::make_unique<WebIdentitySource>(
            "AWS_WEB_IDENTITY_TOKEN_FILE, AWS_ROLE_ARN", role, pszTokenFile,
            stsTarget(settings, strProfile), settings.strCaFile);
        return SourceFound;
    }
    strLooked += ", AWS_WEB_IDENTITY_TOKEN_FILE (not set)";

    source = finder.containerSource("", strError);
    if (source)
        return SourceFound;
    if (!strError.empty())
        return SourceBroken;
    strLooked += ", AWS_CONTAINER_CREDENTIALS_RELATIVE_URI and _FULL_URI (not set)";

    if (settings.bInstanceMetadata || setVar(settings, "AWS_EC2_METADATA_SERVICE_ENDPOINT")) {
        source = finder.instanceSource(settings.bInstanceMetadata
                                           ? "SITEMIRROR_INSTANCE_METADATA"
                                           : "AWS_EC2_METADATA_SERVICE_ENDPOINT");
        return SourceFound;
    }
    strLooked += ", instance metadata (not asked for: SITEMIRROR_INSTANCE_METADATA=on)";
    return SourceNotSet;
}
