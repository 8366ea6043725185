// acl.cpp: S3_convert_acl, the conversion of an AccessControlPolicy document
// into the owner's texts and one grant record per Grant element.
#include <string.h>

#include "simplexml.h"

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

static S3Status convert_acl_xml_callback(const char *elementPath,
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
    simplexml_initialize(&simpleXml, convert_acl_xml_callback, &caData);
    const size_t len = aclXml ? strlen(aclXml) : 0;
    const S3Status status =
        simplexml_add(&simpleXml, aclXml ? aclXml : "",
                      len > 0x7fffffff ? 0x7fffffff : (int) len);
    simplexml_deinitialize(&simpleXml);
    return status;
}
