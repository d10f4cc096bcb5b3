// Numeric-level logging, the per-thread log context and Panic.
//
// Levels are numbers; a smaller number is more severe (110 error, 115 warning,
// 125 info, 130 verbose, 135 trivia). A line is written when its level is at or
// below the configured output level. One call writes one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#define ZARNA_PRINTF(fmtIdx, argIdx) __attribute__((format(printf, fmtIdx, argIdx)))

// Level used by Log().
inline constexpr uint32_t kLogDefaultLevel = 125;

// Bounds of what one line shows (after control bytes are escaped, see
// Hostlib::AppendLogSafe): the message, and each key and value of the log context.
// A longer text is cut and marked "...[cut N bytes]".
inline constexpr size_t kLogMaxMessageBytes = 1024;
inline constexpr size_t kLogMaxContextBytes = 128;
// Mode of a log file that Log_SetFile creates.
inline constexpr unsigned kLogFileMode = 0640;

void Log_Level(uint32_t level, const char *fmt, ...) ZARNA_PRINTF(2, 3);
void Log(const char *fmt, ...) ZARNA_PRINTF(1, 2);
bool Log_IsLevelOutputting(uint32_t level);
[[noreturn]] void Panic(const char *fmt, ...) ZARNA_PRINTF(1, 2);

// --- configuration of the log output (framework and tests) ---

// Highest numeric level written; default 125.
void Log_SetOutputLevel(uint32_t maxLevel);
uint32_t Log_GetOutputLevel();

// Also append every line to this file ("" closes it). False when it cannot be opened.
// A file that does not exist yet is created with kLogFileMode.
bool Log_SetFile(const std::string &path);
// Opens the log file's path again, so that lines go to a new file once the old one
// was renamed away (log rotation). On failure the old file stays in use and false
// is returned. True, doing nothing, when there is no log file.
bool Log_ReopenFile();
std::string Log_GetFile();

// Write lines to standard error (default true).
void Log_SetStderr(bool enabled);

// Pushes buffered output of standard error and the log file to the OS; used
// before the process ends without running destructors.
void Log_Flush();

// An extra receiver of every written line (level, the message as written: escaped,
// cut, without line end and without the time, level and context prefix);
// used by tests to observe what the agent logs. Pass nullptr to remove.
using LogSink = std::function<void(uint32_t level, std::string_view message)>;
void Log_SetSink(LogSink sink);

// Per-thread log context: "key=value" tags rendered on every line of the thread.
// Setting a value returns the previous binding of the key (if any); passing
// std::nullopt removes the binding.
std::optional<std::string> Log_SetContext(const std::string &key,
                                          std::optional<std::string> value);
std::optional<std::string> Log_GetContext(const std::string &key);
