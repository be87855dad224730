#include "libquarn/pieces.h"

#include "libquarn/text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace quarn::engine {
namespace {

constexpr std::string_view kMagic = "quarn-map 2";

uint64_t checksum(std::string_view text) {
    uint64_t hash = 1469598103934665603ULL; // FNV-1a
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Field values are single words: anything outside a safe set is %XX, and
// the empty value is "-".
std::string encodeValue(std::string_view value) {
    if (value.empty()) return "-";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        const bool safe = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                          (u >= '0' && u <= '9') || c == '.' || c == '_' || c == '~' || c == ':' ||
                          c == '/' || c == '-';
        if (safe) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::optional<std::string> decodeValue(std::string_view word) {
    if (word == "-") return std::string();
    std::string out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out += word[i];
            continue;
        }
        if (i + 2 >= word.size()) return std::nullopt;
        const int high = hexDigitValue(word[i + 1]), low = hexDigitValue(word[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// Splits off the next line (without its newline); false at the end.
bool nextLine(std::string_view& text, std::string_view& line) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return false;
    line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    return true;
}

// "key value" with exactly one space.
std::optional<std::string_view> field(std::string_view line, std::string_view key) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ')
        return std::nullopt;
    const std::string_view value = line.substr(key.size() + 1);
    if (value.empty() || value.find(' ') != std::string_view::npos) return std::nullopt;
    return value;
}

std::optional<int64_t> number(std::string_view text) {
    const auto n = parseDecimal(text);
    if (!n) return std::nullopt;
    return static_cast<int64_t>(*n);
}

} // namespace

PieceGrid::PieceGrid(int64_t fileSize, int64_t length)
    : size_(fileSize), length_(std::max<int64_t>(1, length)),
      count_(static_cast<std::size_t>((fileSize + length_ - 1) / length_)) {}

int64_t PieceGrid::end(std::size_t i) const noexcept {
    return std::min(size_, start(i) + length_);
}

bool FileBytes::held(int64_t from, int64_t to) const {
    return heldEnd(from) >= to;
}

int64_t FileBytes::heldEnd(int64_t at) const {
    for (;;) {
        int64_t end = -1;
        for (const RangeSet* set : {&good, &claimed, &written})
            end = std::max(end, set->runEnd(at));
        if (end < 0 || end >= size) return end < 0 ? at : size;
        at = end;
    }
}

int64_t FileBytes::heldFrom(int64_t end) const {
    while (end > 0) {
        int64_t start = end;
        for (const RangeSet* set : {&good, &claimed, &written})
            if (const int64_t s = set->runStart(end - 1); s >= 0) start = std::min(start, s);
        if (start == end) break;
        end = start;
    }
    return end;
}

int64_t FileBytes::nextMissing(int64_t at) const {
    const int64_t end = heldEnd(at);
    return end >= size ? -1 : end;
}

int64_t FileBytes::nextHeld(int64_t at) const {
    int64_t next = size;
    for (const RangeSet* set : {&good, &claimed, &written})
        if (const int64_t n = set->nextIn(at); n >= 0) next = std::min(next, n);
    return next;
}

RangeSet FileBytes::recorded() const {
    RangeSet all = good;
    for (const auto& [from, to] : claimed.runs()) all.add(from, to);
    return all;
}

void FileBytes::forget() noexcept {
    good.clear();
    claimed.clear();
    written.clear();
}

bool MapIdentity::sameDownload(const MapIdentity& other) const {
    return server == other.server && site == other.site && file == other.file && size == other.size;
}

std::string serialiseMap(const MapIdentity& identity, const RangeSet& have) {
    std::string text(kMagic);
    text += "\nsize " + std::to_string(identity.size);
    text += "\nserver " + encodeValue(identity.server);
    text += "\nsite " + encodeValue(identity.site);
    text += "\nfile " + encodeValue(identity.file);
    text += "\nvalidator " + encodeValue(identity.validator);
    text += "\ndocument " + encodeValue(identity.document);
    text += "\nhave " + std::to_string(have.runCount()) + "\n";
    char line[64];
    for (const auto& [from, to] : have.runs()) {
        std::snprintf(line, sizeof line, "%" PRId64 " %" PRId64 "\n", from, to);
        text += line;
    }
    std::snprintf(line, sizeof line, "sum %016" PRIx64 "\n", checksum(text));
    return text + line;
}

ParsedMap parseMap(std::string_view text, const MapIdentity& expected, int64_t onDisk) {
    ParsedMap parsed;
    if (text.size() > kMaxMapBytes) return parsed;
    const std::string_view whole = text;
    std::string_view line;
    if (!nextLine(text, line) || line != kMagic) return parsed;
    MapIdentity& id = parsed.identity;
    std::optional<int64_t> size;
    if (!nextLine(text, line) || !(size = number(field(line, "size").value_or("")))) return parsed;
    id.size = *size;
    for (const auto& [key, value] : {std::pair<const char*, std::string*>{"server", &id.server},
                                     {"site", &id.site},
                                     {"file", &id.file},
                                     {"validator", &id.validator},
                                     {"document", &id.document}}) {
        const auto word = nextLine(text, line) ? field(line, key) : std::nullopt;
        const auto decoded = word ? decodeValue(*word) : std::nullopt;
        if (!decoded) return parsed;
        *value = *decoded;
    }
    std::optional<int64_t> runs;
    if (!nextLine(text, line) || !(runs = number(field(line, "have").value_or(""))) ||
        *runs > static_cast<int64_t>(text.size() / 4))
        return parsed;
    RangeSet have;
    int64_t lastEnd = -1;
    for (int64_t i = 0; i < *runs; ++i) {
        if (!nextLine(text, line)) return parsed;
        const std::size_t space = line.find(' ');
        const auto from = number(line.substr(0, space));
        const auto to =
            space == std::string_view::npos ? std::nullopt : number(line.substr(space + 1));
        // Sorted, apart and inside the file, as serialiseMap writes them.
        if (!from || !to || *from <= lastEnd || *to <= *from || *to > id.size) return parsed;
        have.add(*from, *to);
        lastEnd = *to;
    }
    const std::size_t summed = whole.size() - text.size();
    if (!nextLine(text, line)) return parsed;
    char expectedSum[32];
    std::snprintf(expectedSum, sizeof expectedSum, "%016" PRIx64,
                  checksum(whole.substr(0, summed)));
    if (field(line, "sum") != std::string_view(expectedSum)) return parsed;
    // Anything after the sum line is the tail of a longer, older text.
    if (!id.sameDownload(expected)) {
        parsed.fit = ParsedMap::Fit::Foreign;
        return parsed;
    }
    // Never trust more than the .part holds.
    have.remove(std::max<int64_t>(0, onDisk), id.size);
    parsed.have = std::move(have);
    parsed.fit = ParsedMap::Fit::Fits;
    return parsed;
}

} // namespace quarn::engine
