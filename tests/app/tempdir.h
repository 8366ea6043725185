// tempdir.h - the tests' one temporary-folder helper lives in tests/support.
#pragma once

#include "../support/temp_dir.h"
