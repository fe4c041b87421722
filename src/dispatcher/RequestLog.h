#pragma once

#include <cstddef>
#include <string>

#include "platform/Json.h"

namespace th {

// A line of the request log is cut at this many bytes: one answer of megabytes must not
// become a line of megabytes on screen.
inline constexpr size_t kMaxLogLineBytes = 64 * 1024;

// The request log's line of one event: the command argument, one blank and the compact
// JSON text of the data, with every secret shown as its first four characters and "…"
// (the password of "authorize", the account's token in its answer, each register's token
// in the "getsalepoints" answer and in its "tasks" requests); what goes on the wire is
// unchanged. A longer line keeps its first maxBytes bytes (whole characters
// only) and ends with " … (обрезано, всего N байт)", N being the full line's length. The
// full text is never built, so logging a large answer costs no copy of it.
std::string requestLogLine(const std::string& command, const Json& data,
                           size_t maxBytes = kMaxLogLineBytes);

}  // namespace th
