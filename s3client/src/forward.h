// forward.h: what every operation that keeps a record per request shares:
// the caller's callbacks and data, and the forwarding of the response
// properties to the caller.
#pragma once

#include "s3client.h"

// The first member of each such record, so that one forwarder serves them all.
typedef struct CallerHandler
{
    S3ResponsePropertiesCallback propertiesCallback; // may be NULL
    S3ResponseCompleteCallback completeCallback;
    void *callbackData;
} CallerHandler;

inline void caller_handler_set(CallerHandler *caller, const S3ResponseHandler *handler,
                               void *callbackData)
{
    caller->propertiesCallback = handler->propertiesCallback;
    caller->completeCallback = handler->completeCallback;
    caller->callbackData = callbackData;
}

// The properties callback given to request_perform: callbackData is a record
// whose first member is a CallerHandler.
inline S3Status forward_properties(const S3ResponseProperties *responseProperties,
                                   void *callbackData)
{
    const CallerHandler *caller = static_cast<const CallerHandler *>(callbackData);
    if (!caller->propertiesCallback) {
        return S3StatusOK;
    }
    return caller->propertiesCallback(responseProperties, caller->callbackData);
}
