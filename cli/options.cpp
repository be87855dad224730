#include "cli/commands.h"

#include "cli/utf16.h"

#include <algorithm>
#include <cstdint>

namespace quarn::cli {
namespace {

bool listed(const std::vector<std::string_view>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

Options::Options(const std::vector<std::string>& args, const std::vector<std::string_view>& valued,
                 const std::vector<std::string_view>& flags) {
    parse(args, valued, flags);
    if (!errors_.empty()) throw UsageError{errors_.front().message};
}

Options Options::gather(const std::vector<std::string>& args,
                        const std::vector<std::string_view>& valued,
                        const std::vector<std::string_view>& flags) {
    Options o;
    o.parse(args, valued, flags);
    return o;
}

void Options::parse(const std::vector<std::string>& args,
                    const std::vector<std::string_view>& valued,
                    const std::vector<std::string_view>& flags) {
    end_ = args.size();
    const auto fail = [&](std::size_t at, std::string message) {
        errors_.push_back({at, std::move(message)});
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            for (std::size_t k = i + 1; k < args.size(); ++k) {
                positional_.push_back(args[k]);
                positionalAt_.push_back(k);
            }
            break;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg.size() > 1 && arg[0] == '-') {
                fail(i, "unknown option " + arg);
                continue;
            }
            positional_.push_back(arg);
            positionalAt_.push_back(i);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (listed(flags, name)) {
            if (equals != std::string::npos)
                fail(i, name + " takes no value");
            else
                flags_.push_back(name);
            continue;
        }
        if (!listed(valued, name)) {
            fail(i, "unknown option " + name);
            continue;
        }
        const std::size_t at = i;
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            fail(at, name + " needs a value");
            continue;
        }
        if (values_.count(name) != 0) {
            fail(at, name + " given twice");
            continue;
        }
        values_[name] = std::move(value);
        positions_[name] = at;
    }
}

std::size_t Options::position(std::string_view name) const {
    const auto it = positions_.find(name);
    return it == positions_.end() ? end_ : it->second;
}

void reportArgumentErrors(std::vector<ArgumentError> errors) {
    std::stable_sort(errors.begin(), errors.end(),
                     [](const ArgumentError& a, const ArgumentError& b) { return a.at < b.at; });
    std::string message;
    for (const ArgumentError& e : errors)
        message += (message.empty() ? "" : "\nquarn: ") + e.message;
    throw UsageError{message};
}

std::optional<std::string> Options::value(std::string_view name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::string Options::required(std::string_view name) const {
    std::optional<std::string> v = value(name);
    if (!v) throw UsageError{std::string(name) + " is required"};
    if (v->empty()) throw UsageError{std::string(name) + " must not be empty"};
    return *v;
}

bool Options::flag(std::string_view name) const {
    return std::find(flags_.begin(), flags_.end(), name) != flags_.end();
}

std::u16string utf16Argument(std::string_view option, const std::string& utf8) {
    std::optional<std::u16string> text = utf16::fromUtf8(utf8);
    if (!text) throw UsageError{std::string(option) + " is not valid UTF-8"};
    return *text;
}

bool isHexDigest(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool hasPort(std::string_view server) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (server.size() >= scheme.size() &&
            std::equal(scheme.begin(), scheme.end(), server.begin(), [](char a, char b) {
                return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
            })) {
            server.remove_prefix(scheme.size());
            break;
        }
    }
    const std::size_t colon = server.rfind(':');
    const std::size_t bracket = server.rfind(']');
    if (colon == std::string_view::npos || colon == 0 ||
        (bracket != std::string_view::npos && bracket > colon))
        return false;
    const std::optional<long long> port = parsePositive(server.substr(colon + 1));
    return port && *port <= 65535;
}

std::optional<long long> parsePositive(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) return std::nullopt;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value <= 0) return std::nullopt;
    return value;
}

std::string percentEncode(std::string_view segment) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : segment) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

} // namespace quarn::cli
