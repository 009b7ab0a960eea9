// The request driver: the fixed frame around every request (parse the settings, obtain the
// transport, open a session where one is needed, run one operation, write the answer, release
// everything), the answer writer that ends every handler, and the flat dispatcher behind the
// flat exports with the process-wide transport selection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"

struct kojelly_cfg;

namespace kojelly {

// The size of the message buffer of every handler.
inline constexpr size_t kHandlerMsgSize = kMsgSize;

// What a request does inside the frame.
enum class Task {
    kValidate,  // check the server and the credentials, without a session
    kList,      // list the folder named by the argument (NULL or "" for the root)
    kStream,    // resolve the item named by the entry JSON of the argument
};

// The frame of every request: parses the settings once, checks the argument, obtains the
// transport from io, opens a session when the task needs one, runs the task, and ends with
// finish. Failures are reported in that order: bad settings, then a bad argument, then a
// missing or unusable transport. Releases everything it made before returning the final code.
int32_t run(Task task, const tessel_io *io, const char *settings, const char *arg, char *out,
            int32_t out_len);

// Writes the answer (code 0) or the error JSON (message scrubbed of the settings' secrets and
// of extra) into out, publishes the outcome in the per-thread slots, and returns the final code:
// code itself, or -9 when a successful answer does not fit (the whole answer is then in the
// result slot, which takes the answer's text over and leaves the buffer empty). cfg and extra
// may be NULL.
int32_t finish(int32_t code, kojelly_buf *answer, char *msg, const kojelly_cfg *cfg,
               const char *extra, char *out, int32_t out_len);

// The io that the flat exports use: a copy of the selected table, taken under the selection
// lock; false when nothing is selected.
bool selected_io(tessel_io *copy);

}  // namespace kojelly
