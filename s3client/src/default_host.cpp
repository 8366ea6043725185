// default_host.cpp: holds the host of requests whose bucket context names none.
#include "default_host.h"

char defaultHostNameG[S3_MAX_HOSTNAME_SIZE];
