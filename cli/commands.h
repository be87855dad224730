// The quarn command's subcommands and what they share: options, exit
// statuses, signals.
#pragma once

#include <csignal>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::cli {

// Exit statuses, listed in `quarn --help`.
enum Exit : int {
    kComplete = 0,    // get: the file is in place; share: stopped by a signal
    kUsage = 2,       // bad arguments
    kStartFailed = 3, // get: the engine refused the start; share: no registration or no
                      // listener; meta: the file cannot be read
    kStopped = 4,     // get: Ctrl-C or SIGTERM, the .part kept for the next run
    kWriteError = 5,  // get: disk full, I/O error, rename failed
    kServerError = 6, // get: unreachable, HTTP error, stalled, wrong length
};

// --name value / --name=value options and positional arguments. Throws
// UsageError with a message meant for the user.
struct UsageError {
    std::string message;
};

class Options {
public:
    // `valued` names the options that take a value, `flags` those that do not.
    Options(const std::vector<std::string>& args, const std::vector<std::string_view>& valued,
            const std::vector<std::string_view>& flags);

    std::optional<std::string> value(std::string_view name) const;
    std::string required(std::string_view name) const;
    bool flag(std::string_view name) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::map<std::string, std::string, std::less<>> values_;
    std::vector<std::string> flags_;
    std::vector<std::string> positional_;
};

// Strict UTF-8 to UTF-16; nullopt for malformed text.
std::optional<std::u16string> toUtf16(std::string_view utf8);
// The same, as a UsageError naming the option.
std::u16string utf16Argument(std::string_view option, const std::string& utf8);
bool isHexDigest(std::string_view text);
std::optional<long long> parsePositive(std::string_view digits);
std::string percentEncode(std::string_view segment);

// Blocks SIGINT and SIGTERM in the calling thread before the engine starts
// any thread, so every thread inherits the mask and the signals wait for
// sigtimedwait in the main thread.
sigset_t blockStopSignals();

int runGet(const std::vector<std::string>& args);
int runShare(const std::vector<std::string>& args);
int runMeta(const std::vector<std::string>& args);

} // namespace quarn::cli
