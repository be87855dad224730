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
// UsageError with a message meant for the user (several lines when there
// are several errors).
struct UsageError {
    std::string message;
};

// An argument error and where it was written: the index of the argument.
struct ArgumentError {
    std::size_t at;
    std::string message;
};
// Throws the errors as one UsageError, in the order they were written (a
// missing option, written nowhere, counts as written after everything).
[[noreturn]] void reportArgumentErrors(std::vector<ArgumentError> errors);

class Options {
public:
    // `valued` names the options that take a value, `flags` those that do
    // not. Throws the first error it meets.
    Options(const std::vector<std::string>& args, const std::vector<std::string_view>& valued,
            const std::vector<std::string_view>& flags);
    // The same, keeping every error in errors() for the caller to report
    // with its own checks of the values.
    static Options gather(const std::vector<std::string>& args,
                          const std::vector<std::string_view>& valued,
                          const std::vector<std::string_view>& flags);

    std::optional<std::string> value(std::string_view name) const;
    std::string required(std::string_view name) const;
    bool flag(std::string_view name) const;
    const std::vector<std::string>& positional() const { return positional_; }
    // Where an option was written; past every argument when it was not.
    std::size_t position(std::string_view name) const;
    // Where the positional argument `index` was written.
    std::size_t positionalAt(std::size_t index) const { return positionalAt_.at(index); }
    const std::vector<ArgumentError>& errors() const { return errors_; }

private:
    Options() = default;
    void parse(const std::vector<std::string>& args, const std::vector<std::string_view>& valued,
               const std::vector<std::string_view>& flags);

    std::map<std::string, std::string, std::less<>> values_;
    std::map<std::string, std::size_t, std::less<>> positions_;
    std::vector<std::string> flags_;
    std::vector<std::string> positional_;
    std::vector<std::size_t> positionalAt_;
    std::vector<ArgumentError> errors_;
    std::size_t end_ = 0;
};

// Strict UTF-8 to UTF-16 (cli/utf16.h); malformed text is a UsageError
// naming the option.
std::u16string utf16Argument(std::string_view option, const std::string& utf8);
bool isHexDigest(std::string_view text);
// HOST:PORT, http:// or https:// before it allowed, with a port of 1..65535.
bool hasPort(std::string_view server);
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
