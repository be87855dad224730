// Environment entries a test sets for a while. getenv in one thread racing
// setenv in another is undefined, and the engine (libcurl within it) reads
// the environment on its transfer thread: for the engine, pass stopDownload
// as `quiet`, so no transfer runs while an entry changes, either way. The
// share server's threads are never stopped: what they read (QUARN_SHARE_*)
// is set before the process's first registration and left so (ctest gives
// every test a process of its own).
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quarn::test {

class ScopedEnv {
public:
    using Quiet = void (*)();

    // A null value removes the entry for the scope.
    ScopedEnv(std::string name, const char* value, Quiet quiet = nullptr)
        : name_(std::move(name)), quiet_(quiet) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const char* value) const {
        if (quiet_ != nullptr) quiet_();
        if (value != nullptr)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
    }

    std::string name_;
    Quiet quiet_;
    std::optional<std::string> old_;
};

} // namespace quarn::test
