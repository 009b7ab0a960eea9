// The default network backend is absent; selecting it is refused and requests without a
// host-selected transport fail with "no transport".
#include "plugin/kojelly_io_curl.hpp"

const tessel_io *kojelly_io_curl() {
    return nullptr;
}
