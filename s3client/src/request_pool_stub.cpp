// request_pool_stub.cpp: stand-in for the request pool's lifecycle until the
// transport (request.cpp) provides it; the transport removes this file.
#include "request.h"

S3Status request_api_initialize(const char *, int, const char *)
{
    return S3StatusOK;
}

void request_api_deinitialize(void)
{
}
