// The words the engine's status is read in: one table from each failure
// cause to what a reader sees, and the text getDownloadStateJson answers.
#pragma once

#include "libquarn/failure.h"
#include "libquarn/status_board.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::engine {

// "HTTP 404 Not Found", "connection refused", "stalled", "disk full"...;
// "unknown" for Failure::None. ASCII, no character a JSON string escapes.
std::string failureText(const FailureCause& cause);

// The reason phrase of a common error status ("Not Found"); empty for others.
std::string_view reasonPhrase(int32_t status) noexcept;

// Room for the longest status text and its terminating zero (a test holds
// every cause at the widest numbers to it).
inline constexpr std::size_t kStatusJsonUnits = 256;

// {"state":S,"speed":N,"remain_time":N,"receive_size":N,"current_file_size":N,
// "filesize":N} and, in states 5 and 6 with a known cause, "cause":"TEXT" last. Written into
// `out` (at most capacity - 1 characters and a zero) without allocating, as
// a poll must; answers the length written.
std::size_t formatStatusJson(const StatusSnapshot& status, char* out,
                             std::size_t capacity) noexcept;
std::string statusJson(const StatusSnapshot& status);

} // namespace quarn::engine
