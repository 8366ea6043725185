// error_parser.h: reads the service's "Error" document into S3ErrorDetails
// and turns its code into an S3Status.
#pragma once

#include "s3client.h"
#include "simplexml.h"

#define ERROR_TEXT_SIZE 1025              // 1024 characters and the NUL
#define MAX_EXTRA_DETAILS 8
#define EXTRA_DETAILS_STORE_SIZE 8192

// One per request.  The pointers in s3ErrorDetails point into this record
// and are valid while it is not reinitialised.
typedef struct ErrorParser
{
    S3ErrorDetails s3ErrorDetails;          // first: handed to the caller;
                                            // its code points to code below
    SimpleXml errorXmlParser;
    int errorXmlParserInitialized;
    char code[ERROR_TEXT_SIZE];
    int codeLen;
    char message[ERROR_TEXT_SIZE];
    int messageLen;
    char resource[ERROR_TEXT_SIZE];
    int resourceLen;
    char furtherDetails[ERROR_TEXT_SIZE];
    int furtherDetailsLen;
    S3NameValue extraDetails[MAX_EXTRA_DETAILS];
    char extraDetailsNamesValues[EXTRA_DETAILS_STORE_SIZE];
    int extraDetailsNamesValuesSize;
} ErrorParser;

// Empties the record for a new request.
void error_parser_initialize(ErrorParser *errorParser);

// Reads the next piece of the document; anything but S3StatusOK (malformed
// XML, an over-long path) should stop the transfer.
S3Status error_parser_add(ErrorParser *errorParser, const char *buffer,
                          int bufferSize);

// The status named after an error document's code; S3StatusErrorUnknown
// for a code no status is named after.
S3Status error_code_status(const char *code);

// When the document carried a code, sets *status from it
// (S3StatusErrorUnknown for codes not known); otherwise leaves it.
void error_parser_convert_status(ErrorParser *errorParser, S3Status *status);

// Releases the reader, if it was started.
void error_parser_deinitialize(ErrorParser *errorParser);
