// simplexml.cpp: the streaming XML reader over libxml2's SAX push parser, and
// the conversion of an access control list document into grant records.
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

// ------------------------------------------------- access control lists

#define ACL_PERMISSION_SIZE 32
#define ACL_GROUP_URI_SIZE 128

#define ALL_AWS_USERS_URI \
    "http://acs.amazonaws.com/groups/global/AuthenticatedUsers"
#define ALL_USERS_URI "http://acs.amazonaws.com/groups/global/AllUsers"
#define LOG_DELIVERY_URI "http://acs.amazonaws.com/groups/s3/LogDelivery"

namespace {

// A text being gathered into a fixed field; too long gives tooLongStatus.
struct AclText
{
    char *buffer;
    int size;
    int len;
};

struct ConvertAclData
{
    AclText ownerId;
    AclText ownerDisplayName;
    int *aclGrantCountReturn;
    S3AclGrant *aclGrants;

    // The grant being read.
    char emailAddress[S3_MAX_GRANTEE_EMAIL_ADDRESS_SIZE];
    char userId[S3_MAX_GRANTEE_USER_ID_SIZE];
    char userDisplayName[S3_MAX_GRANTEE_DISPLAY_NAME_SIZE];
    char groupUri[ACL_GROUP_URI_SIZE];
    char permission[ACL_PERMISSION_SIZE];
    AclText emailAddressText;
    AclText userIdText;
    AclText userDisplayNameText;
    AclText groupUriText;
    AclText permissionText;
};

} // namespace

static void acl_text_reset(AclText *text, char *buffer, int size)
{
    text->buffer = buffer;
    text->size = size;
    text->len = 0;
    buffer[0] = 0;
}

static S3Status acl_text_append(AclText *text, const char *data, int dataLen,
                                S3Status tooLongStatus)
{
    if (text->len + dataLen > text->size - 1) {
        return tooLongStatus;
    }
    memcpy(&text->buffer[text->len], data, (size_t) dataLen);
    text->len += dataLen;
    text->buffer[text->len] = 0;
    return S3StatusOK;
}

static void acl_grant_reset(ConvertAclData *caData)
{
    acl_text_reset(&caData->emailAddressText, caData->emailAddress,
                   (int) sizeof(caData->emailAddress));
    acl_text_reset(&caData->userIdText, caData->userId,
                   (int) sizeof(caData->userId));
    acl_text_reset(&caData->userDisplayNameText, caData->userDisplayName,
                   (int) sizeof(caData->userDisplayName));
    acl_text_reset(&caData->groupUriText, caData->groupUri,
                   (int) sizeof(caData->groupUri));
    acl_text_reset(&caData->permissionText, caData->permission,
                   (int) sizeof(caData->permission));
}

#define GRANT_PATH "AccessControlPolicy/AccessControlList/Grant"

static S3Status acl_grant_end(ConvertAclData *caData)
{
    if (*caData->aclGrantCountReturn == S3_MAX_ACL_GRANT_COUNT) {
        return S3StatusTooManyGrants;
    }
    S3AclGrant *grant = &caData->aclGrants[*caData->aclGrantCountReturn];

    if (caData->emailAddress[0]) {
        grant->granteeType = S3GranteeTypeAmazonCustomerByEmail;
        strcpy(grant->grantee.amazonCustomerByEmail.emailAddress,
               caData->emailAddress);
    }
    else if (caData->userId[0]) {
        grant->granteeType = S3GranteeTypeCanonicalUser;
        strcpy(grant->grantee.canonicalUser.id, caData->userId);
        strcpy(grant->grantee.canonicalUser.displayName,
               caData->userDisplayName);
    }
    else if (!strcmp(caData->groupUri, ALL_AWS_USERS_URI)) {
        grant->granteeType = S3GranteeTypeAllAwsUsers;
    }
    else if (!strcmp(caData->groupUri, ALL_USERS_URI)) {
        grant->granteeType = S3GranteeTypeAllUsers;
    }
    else if (!strcmp(caData->groupUri, LOG_DELIVERY_URI)) {
        grant->granteeType = S3GranteeTypeLogDelivery;
    }
    else {
        return S3StatusBadGrantee;
    }

    static const char *const permissions[] = {"READ", "WRITE", "READ_ACP",
                                              "WRITE_ACP", "FULL_CONTROL"};
    int p = 0;
    while ((p < 5) && strcmp(caData->permission, permissions[p])) {
        ++p;
    }
    if (p == 5) {
        return S3StatusBadPermission;
    }
    grant->permission = (S3Permission) p;

    ++*caData->aclGrantCountReturn;
    acl_grant_reset(caData);
    return S3StatusOK;
}

static S3Status convertAclXmlCallback(const char *elementPath,
                                      const char *data, int dataLen,
                                      void *callbackData)
{
    ConvertAclData *caData = (ConvertAclData *) callbackData;

    if (!data) {
        return strcmp(elementPath, GRANT_PATH) ? S3StatusOK
                                               : acl_grant_end(caData);
    }

    static const struct
    {
        const char *path;
        AclText ConvertAclData::*field;
        S3Status tooLong;
    } fields[] = {
        {"AccessControlPolicy/Owner/ID",
         &ConvertAclData::ownerId, S3StatusUserIdTooLong},
        {"AccessControlPolicy/Owner/DisplayName",
         &ConvertAclData::ownerDisplayName,
         S3StatusUserDisplayNameTooLong},
        {GRANT_PATH "/Grantee/EmailAddress",
         &ConvertAclData::emailAddressText,
         S3StatusEmailAddressTooLong},
        {GRANT_PATH "/Grantee/ID", &ConvertAclData::userIdText,
         S3StatusUserIdTooLong},
        {GRANT_PATH "/Grantee/DisplayName",
         &ConvertAclData::userDisplayNameText,
         S3StatusUserDisplayNameTooLong},
        {GRANT_PATH "/Grantee/URI", &ConvertAclData::groupUriText,
         S3StatusGroupUriTooLong},
        {GRANT_PATH "/Permission", &ConvertAclData::permissionText,
         S3StatusPermissionTooLong},
    };
    for (const auto &field : fields) {
        if (!strcmp(elementPath, field.path)) {
            return acl_text_append(&(caData->*field.field), data, dataLen,
                                   field.tooLong);
        }
    }
    return S3StatusOK;
}

S3Status S3_convert_acl(const char *aclXml, char *ownerId,
                        char *ownerDisplayName, int *aclGrantCountReturn,
                        S3AclGrant *aclGrants)
{
    ConvertAclData caData;
    acl_text_reset(&caData.ownerId, ownerId, S3_MAX_GRANTEE_USER_ID_SIZE);
    acl_text_reset(&caData.ownerDisplayName, ownerDisplayName,
                   S3_MAX_GRANTEE_DISPLAY_NAME_SIZE);
    caData.aclGrantCountReturn = aclGrantCountReturn;
    caData.aclGrants = aclGrants;
    *aclGrantCountReturn = 0;
    acl_grant_reset(&caData);

    SimpleXml simpleXml;
    simplexml_initialize(&simpleXml, convertAclXmlCallback, &caData);
    const size_t len = aclXml ? strlen(aclXml) : 0;
    const S3Status status =
        simplexml_add(&simpleXml, aclXml ? aclXml : "",
                      len > 0x7fffffff ? 0x7fffffff : (int) len);
    simplexml_deinitialize(&simpleXml);
    return status;
}
