// Error documents: codes to statuses, message texts and their limits, and
// the extra details with their joins, nesting and store limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error_parser.h"

namespace {

// Reads doc in pieces of the given size and returns the converted status.
class ErrorDoc
{
  public:
    explicit ErrorDoc(const std::string &doc, size_t piece = 1 << 20)
    {
        error_parser_initialize(&parser_);
        for (size_t i = 0; i < doc.size(); i += piece) {
            addStatus_ = error_parser_add(
                &parser_, doc.data() + i,
                (int) std::min(piece, doc.size() - i));
            if (addStatus_ != S3StatusOK) {
                break;
            }
        }
    }
    ~ErrorDoc() { error_parser_deinitialize(&parser_); }

    S3Status status(S3Status start = S3StatusOK)
    {
        error_parser_convert_status(&parser_, &start);
        return start;
    }
    const S3ErrorDetails &details() const { return parser_.s3ErrorDetails; }
    std::vector<std::pair<std::string, std::string>> extras() const
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (int i = 0; i < details().extraDetailsCount; ++i) {
            out.emplace_back(details().extraDetails[i].name,
                             details().extraDetails[i].value);
        }
        return out;
    }
    S3Status addStatus_ = S3StatusOK;
    ErrorParser parser_;
};

std::string error_doc(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>" + body +
           "</Error>";
}

TEST(ErrorParser, EveryKnownCodeMapsToItsStatus)
{
    const char *const codes[] = {
        "AccessDenied", "AccountProblem", "AmbiguousGrantByEmailAddress",
        "BadDigest", "BucketAlreadyExists", "BucketAlreadyOwnedByYou",
        "BucketNotEmpty", "CredentialsNotSupported",
        "CrossLocationLoggingProhibited", "EntityTooSmall", "EntityTooLarge",
        "ExpiredToken", "IncompleteBody",
        "IncorrectNumberOfFilesInPostRequest", "InlineDataTooLarge",
        "InternalError", "InvalidAccessKeyId", "InvalidAddressingHeader",
        "InvalidArgument", "InvalidBucketName", "InvalidDigest",
        "InvalidLocationConstraint", "InvalidPayer", "InvalidPolicyDocument",
        "InvalidRange", "InvalidSecurity", "InvalidSOAPRequest",
        "InvalidStorageClass", "InvalidTargetBucketForLogging",
        "InvalidToken", "InvalidURI", "KeyTooLong", "MalformedACLError",
        "MalformedXML", "MaxMessageLengthExceeded",
        "MaxPostPreDataLengthExceededError", "MetadataTooLarge",
        "MethodNotAllowed", "MissingAttachment", "MissingContentLength",
        "MissingSecurityElement", "MissingSecurityHeader",
        "NoLoggingStatusForKey", "NoSuchBucket", "NoSuchKey",
        "NotImplemented", "NotSignedUp", "OperationAborted",
        "PermanentRedirect", "PreconditionFailed", "Redirect",
        "RequestIsNotMultiPartContent", "RequestTimeout",
        "RequestTimeTooSkewed", "RequestTorrentOfBucketError",
        "SignatureDoesNotMatch", "SlowDown", "TemporaryRedirect",
        "TokenRefreshRequired", "TooManyBuckets", "UnexpectedContent",
        "UnresolvableGrantByEmailAddress", "UserKeyMustBeSpecified"};
    ASSERT_EQ(sizeof(codes) / sizeof(codes[0]), 63u);
    int expected = S3StatusErrorAccessDenied;
    for (const char *code : codes) {
        ErrorDoc doc(error_doc(std::string("<Code>") + code + "</Code>"), 5);
        EXPECT_EQ(doc.status(S3StatusHttpErrorNotFound), (S3Status) expected)
            << code;
        // The status's own name is the code with "Error" before it.
        EXPECT_EQ(std::string(S3_get_status_name((S3Status) expected)),
                  std::string("Error") + code);
        ++expected;
    }
    EXPECT_EQ(expected, S3StatusErrorUnknown);
}

TEST(ErrorParser, UnknownMissingAndOddCodes)
{
    // The code's text reaches the caller whether or not a status is named
    // after it; without one the details have no code.
    const struct
    {
        std::string body;
        S3Status status;
        const char *code;
    } rows[] = {
        {"<Code>NoSuchThing</Code>", S3StatusErrorUnknown, "NoSuchThing"},
        {"<Code>AccessControlListNotSupported</Code><Message>m</Message>",
         S3StatusErrorUnknown, "AccessControlListNotSupported"},
        {"<Code>nosuchkey</Code>", S3StatusErrorUnknown, "nosuchkey"},
        {"<Code> NoSuchKey</Code>", S3StatusErrorUnknown, " NoSuchKey"},
        // Repeated or split code elements are joined before lookup.
        {"<Code>NoSuch</Code><Code>Key</Code>", S3StatusErrorNoSuchKey,
         "NoSuchKey"},
        {"<Code>NoSuch<!-- c -->Key</Code>", S3StatusErrorNoSuchKey,
         "NoSuchKey"},
        // No code: the status is left as it was.
        {"<Message>m</Message>", S3StatusHttpErrorForbidden, nullptr},
        {"", S3StatusHttpErrorForbidden, nullptr},
        {"<Code></Code>", S3StatusHttpErrorForbidden, nullptr},
    };
    for (const auto &r : rows) {
        ErrorDoc doc(error_doc(r.body), 3);
        EXPECT_EQ(doc.addStatus_, S3StatusOK);
        EXPECT_EQ(doc.status(S3StatusHttpErrorForbidden), r.status) << r.body;
        if (r.code) {
            EXPECT_STREQ(doc.details().code, r.code) << r.body;
        }
        else {
            EXPECT_EQ(doc.details().code, nullptr) << r.body;
        }
    }

    // A document that never started leaves the status alone too.
    ErrorParser parser;
    error_parser_initialize(&parser);
    S3Status status = S3StatusHttpErrorNotFound;
    error_parser_convert_status(&parser, &status);
    EXPECT_EQ(status, S3StatusHttpErrorNotFound);
    EXPECT_EQ(parser.s3ErrorDetails.message, nullptr);
    EXPECT_EQ(parser.s3ErrorDetails.code, nullptr);
    EXPECT_EQ(parser.s3ErrorDetails.extraDetailsCount, 0);
    error_parser_deinitialize(&parser);
}

TEST(ErrorParser, MessageResourceFurtherDetailsAndTheirLimits)
{
    const std::string m1024(1024, 'm');
    ErrorDoc doc(error_doc("<Code>AccessDenied</Code><Message>" + m1024 +
                           "</Message><Message>more</Message>"
                           "<Resource>/b/k &amp; co</Resource>"
                           "<FurtherDetails>fd</FurtherDetails>"),
                 3);
    EXPECT_EQ(doc.status(), S3StatusErrorAccessDenied);
    ASSERT_NE(doc.details().message, nullptr);
    EXPECT_EQ(std::string(doc.details().message), m1024);
    EXPECT_STREQ(doc.details().resource, "/b/k & co");
    EXPECT_STREQ(doc.details().furtherDetails, "fd");
    EXPECT_EQ(doc.details().extraDetailsCount, 0);

    ErrorDoc plain(error_doc("<Code>NoSuchKey</Code><Message>gone</Message>"
                             "<Key>a</Key><RequestId>r1</RequestId>"));
    EXPECT_STREQ(plain.details().message, "gone");
    EXPECT_EQ(plain.details().resource, nullptr);
    EXPECT_EQ(plain.details().furtherDetails, nullptr);
    EXPECT_EQ(plain.extras(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"Key", "a"}, {"RequestId", "r1"}}));
}

TEST(ErrorParser, ExtraDetailsJoinsNestingAndCount)
{
    std::string ten;
    for (int i = 0; i < 10; ++i) {
        ten += "<E" + std::to_string(i) + ">v" + std::to_string(i) + "</E" +
               std::to_string(i) + ">";
    }
    ErrorDoc many(error_doc(ten), 4);
    ASSERT_EQ(many.details().extraDetailsCount, MAX_EXTRA_DETAILS);
    EXPECT_EQ(many.extras()[7], std::make_pair(std::string("E7"),
                                               std::string("v7")));

    ErrorDoc joined(error_doc("<Tag>one</Tag><Tag>two</Tag><Other>x</Other>"
                              "<Tag>three</Tag>"),
                    2);
    EXPECT_EQ(joined.extras(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"Tag", "onetwo"}, {"Other", "x"}, {"Tag", "three"}}));

    ErrorDoc nested(error_doc("<Details>\n <Item>a</Item>\n <Item>b</Item>\n"
                              "</Details>"));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Details", "\n "}, {"Details/Item", "a"}, {"Details", "\n "},
        {"Details/Item", "b"}, {"Details", "\n"}};
    EXPECT_EQ(nested.extras(), expected);
}

TEST(ErrorParser, ExtraDetailStoreLimits)
{
    // "A", its value and two terminators fill the store exactly; a new
    // detail that does not fit is dropped.
    const std::string big(EXTRA_DETAILS_STORE_SIZE - 3, 'x');
    ErrorDoc exact(error_doc("<A>" + big + "</A><B>y</B>"), 1000);
    ASSERT_EQ(exact.details().extraDetailsCount, 1);
    EXPECT_EQ(std::string(exact.details().extraDetails[0].value), big);
    EXPECT_EQ(exact.parser_.extraDetailsNamesValuesSize,
              EXTRA_DETAILS_STORE_SIZE);

    ErrorDoc over(error_doc("<A>" + big + "x</A><B>y</B>"));
    EXPECT_EQ(over.details().extraDetailsCount, 0);

    // A value that outgrows the store loses its detail.
    const std::string half(EXTRA_DETAILS_STORE_SIZE / 2, 'h');
    ErrorDoc grown(error_doc("<C>c</C><A>" + half + "</A><A>" + half +
                             "</A><B>y</B>"));
    EXPECT_EQ(grown.extras(),
              (std::vector<std::pair<std::string, std::string>>{{"C", "c"}}));
    EXPECT_LE(grown.parser_.extraDetailsNamesValuesSize,
              EXTRA_DETAILS_STORE_SIZE);
}

TEST(ErrorParser, MalformedDocumentsAreParseFailures)
{
    for (const char *body : {"not xml at all", "<Error><Code>A</Error>",
                             "<Error>&nbsp;</Error>"}) {
        ErrorDoc doc(body, 4);
        EXPECT_EQ(doc.addStatus_, S3StatusXmlParseFailure) << body;
    }
    // A path past its limit inside the document.
    const std::string name(600, 'n');
    ErrorDoc deep(error_doc("<" + name + ">x</" + name + ">"));
    EXPECT_EQ(deep.addStatus_, S3StatusXmlParseFailure);
}

TEST(ErrorParser, ReinitialisedForANewRequest)
{
    ErrorParser parser;
    error_parser_initialize(&parser);
    const std::string first = error_doc("<Code>SlowDown</Code><Message>m</Message>"
                                        "<X>1</X>");
    ASSERT_EQ(error_parser_add(&parser, first.data(), (int) first.size()),
              S3StatusOK);
    error_parser_deinitialize(&parser);
    error_parser_initialize(&parser);
    EXPECT_EQ(parser.s3ErrorDetails.message, nullptr);
    EXPECT_EQ(parser.s3ErrorDetails.code, nullptr);
    EXPECT_EQ(parser.s3ErrorDetails.extraDetailsCount, 0);
    S3Status status = S3StatusOK;
    error_parser_convert_status(&parser, &status);
    EXPECT_EQ(status, S3StatusOK);
    const std::string second = error_doc("<Code>NoSuchBucket</Code>");
    ASSERT_EQ(error_parser_add(&parser, second.data(), (int) second.size()),
              S3StatusOK);
    error_parser_convert_status(&parser, &status);
    EXPECT_EQ(status, S3StatusErrorNoSuchBucket);
    error_parser_deinitialize(&parser);
}

} // namespace
