// Ownership of C resources in the plug-in's scopes: the support library's handles (see
// http/tessel_owned.hpp) under the plug-in's names. Owned holds a plain record that carries its
// own free operation (kojelly_buf, kojelly_cfg, kojelly_resp, ...), Handle and Malloced are
// unique_ptr aliases for heap blocks released by a C release function (yyjson documents) or by
// free().
#pragma once

#include "http/tessel_owned.hpp"

namespace kojelly {

using tessel::FreeBlock;
using tessel::Handle;
using tessel::Malloced;
using tessel::Owned;
using tessel::ReleaseWith;

}  // namespace kojelly
