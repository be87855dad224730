#include "libquarn/metalink.h"

#include "libquarn/text.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr const char* kNamespace = "urn:ietf:params:xml:ns:metalink";
constexpr std::string_view kSha256Type = "sha-256";
// describeFile reads in blocks of this size.
constexpr std::size_t kDescribeChunk = std::size_t{1024} * 1024;

// Never loads a DTD, never substitutes an entity, never touches the network;
// libxml2's own limits on depth and sizes stay on (no XML_PARSE_HUGE).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

struct ParserContextFree {
    void operator()(xmlParserCtxt* context) const noexcept { xmlFreeParserCtxt(context); }
};
struct DocumentFree {
    void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
};
struct XmlStringFree {
    void operator()(xmlChar* text) const noexcept { xmlFree(text); }
};
using ParserContext = std::unique_ptr<xmlParserCtxt, ParserContextFree>;
using Document = std::unique_ptr<xmlDoc, DocumentFree>;
using XmlString = std::unique_ptr<xmlChar, XmlStringFree>;

const char* chars(const xmlChar* text) {
    return reinterpret_cast<const char*>(text);
}

// libxml2 sets up its globals once; two first parses on two threads must not
// race there.
void initLibxml() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// What comes before the first element: whether the bytes get that far as
// XML, whether that element is a Metalink 4 root, and whether a document
// type declaration came first. Parsing stops at that element.
struct RootProbe {
    bool metalink = false;
    bool doctype = false;
    bool seen = false;
};

RootProbe& probeOf(void* context) {
    return *static_cast<RootProbe*>(static_cast<xmlParserCtxt*>(context)->_private);
}

void onDoctype(void* context, const xmlChar* /*name*/, const xmlChar* /*publicId*/,
               const xmlChar* /*systemId*/) {
    probeOf(context).doctype = true;
}

void onFirstElement(void* context, const xmlChar* localName, const xmlChar* /*prefix*/,
                    const xmlChar* uri, int /*namespaces*/, const xmlChar** /*declared*/,
                    int /*attributes*/, int /*defaulted*/, const xmlChar** /*values*/) {
    RootProbe& probe = probeOf(context);
    probe.seen = true;
    probe.metalink = uri != nullptr && std::strcmp(chars(localName), "metalink") == 0 &&
                     std::strcmp(chars(uri), kNamespace) == 0;
    xmlStopParser(static_cast<xmlParserCtxt*>(context));
}

RootProbe probeRoot(std::string_view document) {
    RootProbe probe;
    // Only these two callbacks: no entity is declared or resolved, no error
    // printed (no error callbacks, and the options say so too).
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.internalSubset = onDoctype;
    sax.startElementNs = onFirstElement;
    // The first bytes tell the encoding; the rest goes in small pieces, so
    // a root near the start is found without copying the whole document.
    constexpr std::size_t kPiece = 4096;
    const std::size_t first = std::min<std::size_t>(document.size(), 4);
    const ParserContext context(
        xmlCreatePushParserCtxt(&sax, nullptr, document.data(), static_cast<int>(first), nullptr));
    if (!context) return probe;
    context->_private = &probe;
    xmlCtxtUseOptions(context.get(), kParseOptions);
    for (std::size_t at = first; !probe.seen;) {
        const std::size_t n = std::min(kPiece, document.size() - at);
        const bool last = at + n == document.size();
        const int status =
            xmlParseChunk(context.get(), document.data() + at, static_cast<int>(n), last ? 1 : 0);
        at += n;
        if (status != XML_ERR_OK || last) break;
    }
    // For entity declarations libxml2 builds a document even for SAX
    // callers, and leaves it to them.
    if (context->myDoc != nullptr) {
        xmlFreeDoc(context->myDoc);
        context->myDoc = nullptr;
    }
    if (!probe.seen) probe.metalink = false;
    return probe;
}

bool ours(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && node->ns != nullptr && node->ns->href != nullptr &&
           std::strcmp(chars(node->ns->href), kNamespace) == 0 &&
           std::strcmp(chars(node->name), name) == 0;
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    const XmlString value(xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!value) return std::nullopt;
    return std::string(chars(value.get()));
}

// An element's text, without the white space around it.
std::string text(const xmlNode* node) {
    const XmlString content(xmlNodeGetContent(node));
    return content ? std::string(trimSpace(chars(content.get()))) : std::string();
}

bool isSha256Type(std::string_view type) {
    return asciiLower(type) == kSha256Type;
}

struct Broken {
    std::string why;
};

int64_t positiveDecimal(const std::string& digits, const char* what) {
    const std::optional<long long> value = parseDecimal(digits);
    if (!value || *value <= 0) throw Broken{std::string(what) + " '" + digits + "'"};
    return *value;
}

Sha256 hexDigest(const std::string& hex, const char* what) {
    const std::optional<Sha256> digest = sha256FromHex(hex);
    if (!digest) throw Broken{std::string(what) + " is not 64 hex digits: '" + hex + "'"};
    return *digest;
}

void readPieces(const xmlNode* pieces, MetalinkFile& file) {
    const std::optional<std::string> length = attribute(pieces, "length");
    if (!length) throw Broken{"<pieces> without a length"};
    file.pieceLength = positiveDecimal(*length, "piece length");
    for (const xmlNode* hash = pieces->children; hash != nullptr; hash = hash->next)
        if (ours(hash, "hash")) file.pieces.push_back(hexDigest(text(hash), "a piece hash"));
}

MetalinkFile readFile(const xmlNode* entry, std::string name) {
    MetalinkFile file;
    file.name = std::move(name);
    bool sawSize = false;
    bool sawPieces = false;
    for (const xmlNode* child = entry->children; child != nullptr; child = child->next) {
        if (ours(child, "size")) {
            if (sawSize) throw Broken{"two <size> elements"};
            sawSize = true;
            const std::string digits = text(child);
            const std::optional<long long> size = parseDecimal(digits);
            if (!size) throw Broken{"size '" + digits + "'"};
            file.size = *size;
        } else if (ours(child, "hash")) {
            const std::optional<std::string> type = attribute(child, "type");
            if (!type) throw Broken{"<hash> without a type"};
            if (!isSha256Type(*type)) continue;
            if (file.sha256) throw Broken{"two sha-256 <hash> elements"};
            file.sha256 = hexDigest(text(child), "the file's hash");
        } else if (ours(child, "pieces")) {
            const std::optional<std::string> type = attribute(child, "type");
            if (!type) throw Broken{"<pieces> without a type"};
            if (!isSha256Type(*type)) continue;
            if (sawPieces) throw Broken{"two sha-256 <pieces> elements"};
            sawPieces = true;
            readPieces(child, file);
        }
    }
    if (sawPieces) {
        if (file.size < 0) throw Broken{"piece hashes without a size"};
        const int64_t expected = (file.size + file.pieceLength - 1) / file.pieceLength;
        if (static_cast<int64_t>(file.pieces.size()) != expected)
            throw Broken{std::to_string(file.pieces.size()) + " piece hashes where " +
                         std::to_string(file.size) + " bytes in pieces of " +
                         std::to_string(file.pieceLength) + " need " + std::to_string(expected)};
        if (file.pieces.empty()) file.pieceLength = 0;
    }
    return file;
}

MetalinkFile readRoot(const xmlNode* root, std::string_view name) {
    std::vector<std::pair<const xmlNode*, std::string>> entries;
    for (const xmlNode* child = root->children; child != nullptr; child = child->next) {
        if (!ours(child, "file")) continue;
        std::optional<std::string> fileName = attribute(child, "name");
        if (!fileName || fileName->empty()) throw Broken{"<file> without a name"};
        entries.emplace_back(child, std::move(*fileName));
    }
    if (entries.empty()) throw Broken{"no <file> entry"};
    if (entries.size() == 1) return readFile(entries.front().first, entries.front().second);
    const xmlNode* match = nullptr;
    for (const auto& [node, fileName] : entries) {
        if (fileName != name) continue;
        if (match != nullptr) throw Broken{"two <file> entries named '" + std::string(name) + "'"};
        match = node;
    }
    if (match == nullptr) throw Broken{"no <file> entry named '" + std::string(name) + "'"};
    return readFile(match, std::string(name));
}

// The name as XML 1.0 can carry it: what is not UTF-8, or a character the
// format forbids, becomes U+FFFD.
std::string xmlSafeUtf8(std::string_view in) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        const auto lead = static_cast<unsigned char>(in[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        bool valid = i + extra < in.size();
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(in[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        valid = valid && !(extra == 2 && cp < 0x800) &&
                !(extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) &&
                !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF &&
                (cp >= 0x20 || cp == '\t' || cp == '\n' || cp == '\r');
        if (!valid) {
            out += kReplacement;
            ++i;
            continue;
        }
        out.append(in.substr(i, extra + 1));
        i += extra + 1;
    }
    return out;
}

// For a double-quoted attribute value. Tab, LF and CR as references, or the
// reader's attribute normalisation would turn them into spaces.
std::string escapeAttribute(std::string_view value) {
    std::string out;
    for (const char c : xmlSafeUtf8(value)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

MetalinkResult parseMetalink(std::string_view document, std::string_view name) {
    MetalinkResult result;
    if (document.empty() || document.size() > kMetalinkMaxBytes) return result;
    initLibxml();
    const RootProbe root = probeRoot(document);
    if (!root.metalink) return result;

    result.kind = MetalinkResult::Kind::Broken;
    // A Metalink document has no use for a DTD; one is where entity tricks
    // would live, so none is read past.
    if (root.doctype) {
        result.why = "a document type declaration";
        return result;
    }
    const ParserContext context(xmlNewParserCtxt());
    if (!context) {
        result.why = "libxml2 cannot set up a parser";
        return result;
    }
    const Document doc(xmlCtxtReadMemory(context.get(), document.data(),
                                         static_cast<int>(document.size()), nullptr, nullptr,
                                         kParseOptions));
    if (!doc || context->wellFormed == 0) {
        const char* message = context->lastError.message;
        result.why = message != nullptr ? std::string(trimSpace(message)) : "malformed XML";
        return result;
    }
    try {
        result.file = readRoot(xmlDocGetRootElement(doc.get()), name);
    } catch (const Broken& broken) {
        result.why = broken.why;
        return result;
    }
    result.kind = MetalinkResult::Kind::Ok;
    return result;
}

std::string writeMetalink(const MetalinkFile& file) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metalink xmlns=\"";
    out += kNamespace;
    out += "\">\n  <file name=\"" + escapeAttribute(file.name) + "\">\n";
    if (file.size >= 0) out += "    <size>" + std::to_string(file.size) + "</size>\n";
    if (file.sha256) out += "    <hash type=\"sha-256\">" + toHex(*file.sha256) + "</hash>\n";
    if (file.pieceLength > 0 && !file.pieces.empty()) {
        out +=
            "    <pieces length=\"" + std::to_string(file.pieceLength) + "\" type=\"sha-256\">\n";
        for (const Sha256& piece : file.pieces) out += "      <hash>" + toHex(piece) + "</hash>\n";
        out += "    </pieces>\n";
    }
    out += "  </file>\n</metalink>\n";
    return out;
}

std::optional<MetalinkFile> describeFile(int fd, int64_t size, std::string name,
                                         int64_t pieceLength) {
    if (size < 0) return std::nullopt;
    MetalinkFile file;
    file.name = std::move(name);
    file.size = size;
    if (pieceLength > 0 && size > 0) {
        file.pieceLength = pieceLength;
        file.pieces.reserve(static_cast<std::size_t>((size + pieceLength - 1) / pieceLength));
    }
    ::posix_fadvise(fd, 0, size, POSIX_FADV_SEQUENTIAL);
    Sha256Hasher whole;
    Sha256Hasher piece;
    std::vector<char> buffer(
        static_cast<std::size_t>(std::min<int64_t>(size, static_cast<int64_t>(kDescribeChunk))));
    int64_t pieceEnd = file.pieceLength > 0 ? std::min(file.pieceLength, size) : size;
    for (int64_t at = 0; at < size;) {
        const auto want = static_cast<std::size_t>(
            std::min<int64_t>(size - at, static_cast<int64_t>(buffer.size())));
        const ssize_t n = ::pread(fd, buffer.data(), want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        whole.update(buffer.data(), static_cast<std::size_t>(n));
        for (int64_t used = 0; file.pieceLength > 0 && used < n;) {
            const int64_t take = std::min<int64_t>(n - used, pieceEnd - (at + used));
            piece.update(buffer.data() + used, static_cast<std::size_t>(take));
            used += take;
            if (at + used == pieceEnd) {
                file.pieces.push_back(piece.finish());
                pieceEnd = std::min(pieceEnd + file.pieceLength, size);
            }
        }
        at += n;
    }
    file.sha256 = whole.finish();
    return file;
}

} // namespace quarn::engine
