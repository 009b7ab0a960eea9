// The default network backend. The plug-in carries none: the host brings its transport.
#pragma once

#include "tessel_http.h"

// Always NULL: there is no built-in backend.
const tessel_io *kojelly_io_curl();
