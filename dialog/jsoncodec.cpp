#include "dialog/jsoncodec.h"

#include "dialog/samplerequest.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <exception>

std::u16string ToWideString(std::string text) {
    std::u16string wide(text.size(), u'\0');
    std::transform(text.begin(), text.end(), wide.begin(), [](char c) {
        return static_cast<char16_t>(static_cast<std::int16_t>(static_cast<signed char>(c)));
    });
    return wide;
}

std::string ToNarrowString(std::u16string text) {
    std::string narrow(text.size(), '\0');
    std::transform(text.begin(), text.end(), narrow.begin(),
                   [](char16_t u) { return static_cast<char>(u & 0xFF); });
    return narrow;
}

namespace jsoncodec {

// The request's exact layout (sorted members, three-space indent, " : ") is
// the styled writer's, and the replies are read as the classic reader reads
// them; both are deprecated in jsoncpp in favour of builders that lay out
// and read differently.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

std::string BuildRequestText(std::string_view server) {
    struct Member {
        const char* name;
        std::string value;
    };
    // Set in this order; the repeated serverfilename keeps one member.
    const Member members[] = {
        {"site", sample::kSite},
        {"server", std::string(server)},
        {"serverfilename", sample::kServerFileName},
        {"index", sample::kJsonIndex},
        {"hash", sample::kHash},
        {"filesize", sample::kFileSizeText},
        {"serverfilename", sample::kServerFileName},
        {"localfilename", sample::kJsonLocalFileName},
        {"user_name", sample::kUserName},
        {"user_pwd", sample::kUserPwd},
        {"user_params", sample::kUserParams},
    };
    Json::Value root;
    for (const Member& m : members) root[m.name] = Json::Value(m.value);
    Json::StyledWriter writer;
    return writer.write(root);
}

Json::Value ParseEngineText(const char16_t* text) {
    std::u16string copy;
    if (text) copy = text;
    std::string document = ToNarrowString(std::move(copy));
    document.resize(std::min(document.size(), document.find('\0')));
    Json::Reader reader;
    Json::Value root;
    // Nesting beyond the reader's depth limit throws; like any other parse
    // error it keeps what was read so far.
    try {
        reader.parse(document, root, true);
    } catch (const std::exception&) {
    }
    return root;
}

#pragma GCC diagnostic pop

bool CopyToBuffer(const std::u16string& text, char16_t* buffer, std::size_t units) {
    if (text.size() + 1 > units) return false;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return true;
}

namespace {
// The member as non-const access by name finds it: a null root becomes an
// object; any other non-object root has no members.
const Json::Value* Member(Json::Value& root, const char* name) {
    if (root.isNull()) root = Json::Value(Json::objectValue);
    if (!root.isObject()) return nullptr;
    return &root[name];
}
} // namespace

std::int32_t ReadInt(Json::Value& root, const char* name) {
    const Json::Value* value = Member(root, name);
    if (!value || !value->isConvertibleTo(Json::intValue)) return 0;
    return value->asInt();
}

std::int64_t ReadInt64(Json::Value& root, const char* name) {
    const Json::Value* value = Member(root, name);
    if (!value) return 0;
    switch (value->type()) {
    case Json::booleanValue: return value->asBool() ? 1 : 0;
    case Json::intValue: return value->asInt64();
    case Json::uintValue: return value->isInt64() ? value->asInt64() : 0;
    case Json::realValue: {
        const double d = value->asDouble();
        // 2^63 itself does not fit; compare against it exactly.
        return (d >= -9223372036854775808.0 && d < 9223372036854775808.0) ? value->asInt64() : 0;
    }
    default: return 0;
    }
}

} // namespace jsoncodec
