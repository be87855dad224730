// Metalink documents: what an origin may answer where a document should be
// (a real one, a soft-404 page, bytes of anything, a hostile one), read by
// the engine's reader; and documents the engine writes read back.
#include "libquarn/handles.h"
#include "libquarn/metalink.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace quarn::engine {
namespace {

namespace fs = std::filesystem;
using Kind = MetalinkResult::Kind;

constexpr const char* kNs = "urn:ietf:params:xml:ns:metalink";
const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string asciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}
std::string hexOf(const std::string& bytes) {
    return toHex(sha256(bytes));
}
// Three digests that differ, for documents written by hand.
const std::string kH0 = hexOf("0");
const std::string kH1 = hexOf("1");
const std::string kH2 = hexOf("2");

std::string metalink(const std::string& body) {
    return kDeclaration + "<metalink xmlns=\"" + kNs + "\">\n" + body + "\n</metalink>\n";
}
std::string fileEntry(const std::string& name, const std::string& body) {
    return "<file name=\"" + name + "\">" + body + "</file>";
}
std::string pieces(int64_t length, const std::vector<std::string>& hashes,
                   const std::string& type = "sha-256") {
    std::string out = "<pieces length=\"" + std::to_string(length) + "\" type=\"" + type + "\">";
    for (const std::string& h : hashes) out += "<hash>" + h + "</hash>";
    return out + "</pieces>";
}
// A plain, well-formed entry: 2500 bytes in pieces of 1000.
const std::string kGoodBody =
    "<size>2500</size><hash type=\"sha-256\">" + kH0 + "</hash>" + pieces(1000, {kH0, kH1, kH2});

TEST(Metalink, TellsOtherAnswersFromDocuments) {
    std::string garbage(4096, '\0');
    std::mt19937 random(7);
    for (char& c : garbage) c = static_cast<char>(random());
    const std::string good = metalink(fileEntry("sample.bin", kGoodBody));

    const struct {
        const char* what;
        std::string document;
    } cases[] = {
        {"empty", ""},
        {"white space", "  \n"},
        {"soft-404 page", "<!DOCTYPE html>\n<html><head><title>Not Found</title></head>\n"
                          "<body><h1>Not Found</h1><p>Sorry.<br></body></html>\n"},
        {"well-formed XHTML",
         "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>" + kH0 + "</p></body></html>"},
        {"binary", garbage},
        {"JSON", R"({"error": "not found", "size": 2500})"},
        {"declaration only", kDeclaration},
        {"cut before the root", kDeclaration + "<metal"},
        {"Metalink 3", kDeclaration +
                           "<metalink version=\"3.0\" xmlns=\"http://www.metalinker.org/\">" +
                           fileEntry("sample.bin", kGoodBody) + "</metalink>"},
        {"no namespace", "<metalink>" + fileEntry("sample.bin", kGoodBody) + "</metalink>"},
        {"our namespace, another root",
         "<file xmlns=\"" + std::string(kNs) + "\" name=\"sample.bin\">" + kGoodBody + "</file>"},
        {"too long",
         good + "<!--" + std::string(kMetalinkMaxBytes - good.size() - 6, 'x') + "-->\n"},
    };
    for (const auto& c : cases) {
        const MetalinkResult r = parseMetalink(c.document, "sample.bin");
        EXPECT_EQ(r.kind, Kind::NotMetalink) << c.what << ": " << r.why;
    }

    // The bound itself is still read.
    const std::string atBound =
        good + "<!--" + std::string(kMetalinkMaxBytes - good.size() - 8, 'x') + "-->\n";
    ASSERT_EQ(atBound.size(), kMetalinkMaxBytes);
    EXPECT_EQ(parseMetalink(atBound, "sample.bin").kind, Kind::Ok);
}

TEST(Metalink, BrokenDocumentsSayWhy) {
    const std::string good = metalink(fileEntry("sample.bin", kGoodBody));
    const std::string sha = "<hash type=\"sha-256\">" + kH0 + "</hash>";
    const struct {
        const char* what;
        std::string document;
    } cases[] = {
        {"cut inside the root", good.substr(0, good.size() / 2)},
        {"mismatched tag", metalink(fileEntry("sample.bin", "<size>2500</sise>"))},
        {"element after the root", good + "<metalink/>"},
        {"text after the root", good + "trailing"},
        {"cut after the root", good + "<!-- "},
        {"no file", metalink("<published>2024-01-01T00:00:00Z</published>")},
        {"file without a name", metalink("<file><size>1</size></file>")},
        {"two sizes", metalink(fileEntry("sample.bin", "<size>1</size><size>1</size>"))},
        {"size not a number", metalink(fileEntry("sample.bin", "<size>12a</size>"))},
        {"negative size", metalink(fileEntry("sample.bin", "<size>-1</size>"))},
        {"empty size", metalink(fileEntry("sample.bin", "<size></size>"))},
        {"short hash",
         metalink(fileEntry("sample.bin", "<hash type=\"sha-256\">" + kH0.substr(1) + "</hash>"))},
        {"hash not hex",
         metalink(fileEntry("sample.bin", "<hash type=\"sha-256\">" + kH0.substr(1) + "g</hash>"))},
        {"two sha-256 hashes", metalink(fileEntry("sample.bin", sha + sha))},
        {"hash without a type", metalink(fileEntry("sample.bin", "<hash>" + kH0 + "</hash>"))},
        {"too few pieces",
         metalink(fileEntry("sample.bin", "<size>2500</size>" + pieces(1000, {kH0, kH1})))},
        {"too many pieces",
         metalink(fileEntry("sample.bin", "<size>2000</size>" + pieces(1000, {kH0, kH1, kH2})))},
        {"pieces without a size", metalink(fileEntry("sample.bin", pieces(1000, {kH0})))},
        {"piece length zero", metalink(fileEntry("sample.bin", "<size>0</size>" + pieces(0, {})))},
        {"piece length missing",
         metalink(fileEntry("sample.bin", "<size>5</size><pieces type=\"sha-256\"><hash>" + kH0 +
                                              "</hash></pieces>"))},
        {"pieces without a type",
         metalink(fileEntry("sample.bin", "<size>5</size><pieces length=\"5\"><hash>" + kH0 +
                                              "</hash></pieces>"))},
        {"bad piece hash",
         metalink(fileEntry("sample.bin", "<size>2500</size>" + pieces(1000, {kH0, "xyz", kH2})))},
        {"two sha-256 piece lists",
         metalink(fileEntry("sample.bin", "<size>5</size>" + pieces(5, {kH0}) + pieces(5, {kH1})))},
        {"no entry of that name among several",
         metalink(fileEntry("a.bin", "<size>1</size>") + fileEntry("b.bin", "<size>2</size>"))},
        {"two entries of that name",
         metalink(fileEntry("sample.bin", "<size>1</size>") +
                  fileEntry("sample.bin", "<size>2</size>") + fileEntry("c", ""))},
        {"a document type declaration", kDeclaration + "<!DOCTYPE metalink>\n<metalink xmlns=\"" +
                                            kNs + "\">" + fileEntry("sample.bin", kGoodBody) +
                                            "</metalink>"},
        {"undeclared entity", metalink(fileEntry("sample&nbsp;.bin", kGoodBody))},
    };
    for (const auto& c : cases) {
        const MetalinkResult r = parseMetalink(c.document, "sample.bin");
        EXPECT_EQ(r.kind, Kind::Broken) << c.what;
        EXPECT_FALSE(r.why.empty()) << c.what;
    }
}

TEST(Metalink, ReadsTheEntryAndOnlySha256) {
    const std::string h0 = "<hash type=\"sha-256\">" + kH0 + "</hash>";
    const auto sha = [](const std::string& hex) { return sha256FromHex(hex).value(); };
    const struct {
        const char* what;
        std::string document;
        std::string name; // asked for
        MetalinkFile want;
    } cases[] = {
        {"plain",
         metalink(fileEntry("sample.bin", kGoodBody)),
         "sample.bin",
         {"sample.bin", 2500, sha(kH0), 1000, {sha(kH0), sha(kH1), sha(kH2)}}},
        {"the one entry, whatever its name",
         metalink(fileEntry("other.bin", kGoodBody)),
         "sample.bin",
         {"other.bin", 2500, sha(kH0), 1000, {sha(kH0), sha(kH1), sha(kH2)}}},
        {"other hash types only",
         metalink(fileEntry("sample.bin", "<size>2500</size><hash type=\"sha-1\">abcd</hash>"
                                          "<hash type=\"md5\">zz</hash>" +
                                              pieces(1000, {"aa", "bb", "cc"}, "sha-1"))),
         "sample.bin",
         {"sample.bin", 2500, std::nullopt, 0, {}}},
        {"sha-256 beside other types",
         metalink(fileEntry("sample.bin", "<size>10</size><hash type=\"sha-1\">x</hash>" + h0 +
                                              pieces(3, {"a", "b"}, "sha-1") +
                                              pieces(5, {kH1, kH2}))),
         "sample.bin",
         {"sample.bin", 10, sha(kH0), 5, {sha(kH1), sha(kH2)}}},
        {"type names in capitals",
         metalink(fileEntry("sample.bin", "<size>5</size><hash type=\"SHA-256\">" + kH2 +
                                              "</hash>" + pieces(5, {kH1}, "Sha-256"))),
         "sample.bin",
         {"sample.bin", 5, sha(kH2), 5, {sha(kH1)}}},
        {"by name among several",
         metalink(fileEntry("a.bin", "<size>1</size>") + fileEntry("b.bin", "<size>2</size>" + h0) +
                  fileEntry("c.bin", "<size>3</size>")),
         "b.bin",
         {"b.bin", 2, sha(kH0), 0, {}}},
        {"size only", metalink(fileEntry("s", "<size>7</size>")), "s", {"s", 7, {}, 0, {}}},
        {"nothing but a name", metalink(fileEntry("s", "")), "s", {"s", -1, {}, 0, {}}},
        {"an empty file",
         metalink(fileEntry("s", "<size>0</size>" + pieces(1024, {}))),
         "s",
         {"s", 0, {}, 0, {}}},
        {"white space, upper-case hex, CDATA",
         metalink(fileEntry("s", "<size>\n 5 \n</size><hash type=\"sha-256\">\n  " +
                                     asciiUpper(kH0) +
                                     "\n</hash><pieces length=\"5\" "
                                     "type=\"sha-256\"><hash><![CDATA[" +
                                     kH1 + "]]></hash></pieces>")),
         "s",
         {"s", 5, sha(kH0), 5, {sha(kH1)}}},
        {"prefixed namespace, escaped name",
         kDeclaration + "<ml:metalink xmlns:ml=\"" + kNs +
             "\"><ml:file name=\"a&amp;b &#xD55C;\">"
             "<ml:size>4</ml:size></ml:file></ml:metalink>",
         "a&b \xED\x95\x9C",
         {"a&b \xED\x95\x9C", 4, {}, 0, {}}},
        {"elements of other namespaces and ours we do not read",
         metalink("<published>2024-01-01T00:00:00Z</published>" +
                  fileEntry("s", "<x:size xmlns:x=\"urn:other\">99</x:size><size>5</size>"
                                 "<url priority=\"1\">http://example.com/s</url>"
                                 "<x:hash xmlns:x=\"urn:other\" type=\"sha-256\">nothex</x:hash>" +
                                     h0) +
                  "<x:file xmlns:x=\"urn:other\" name=\"s\"/>"),
         "s",
         {"s", 5, sha(kH0), 0, {}}},
    };
    for (const auto& c : cases) {
        const MetalinkResult r = parseMetalink(c.document, c.name);
        ASSERT_EQ(r.kind, Kind::Ok) << c.what << ": " << r.why;
        EXPECT_EQ(r.file.name, c.want.name) << c.what;
        EXPECT_EQ(r.file.size, c.want.size) << c.what;
        EXPECT_EQ(r.file.sha256, c.want.sha256) << c.what;
        EXPECT_EQ(r.file.pieceLength, c.want.pieceLength) << c.what;
        EXPECT_EQ(r.file.pieces, c.want.pieces) << c.what;
    }
}

// Whether anything opened `path` while `run` ran.
bool opensFile(const fs::path& path, const std::function<void()>& run) {
    const UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch || inotify_add_watch(watch.get(), path.c_str(), IN_OPEN | IN_ACCESS) < 0)
        throw std::runtime_error("inotify on " + path.string());
    run();
    alignas(inotify_event) char events[4096];
    return ::read(watch.get(), events, sizeof events) > 0;
}

TEST(Metalink, HostileDocumentsAreNeitherExpandedNorFetched) {
    const test::TempDir dir("quarn-metalink");
    const fs::path secret = dir.path() / "secret";
    test::writeFile(secret, "the secret");
    const std::string url = "file://" + secret.string();

    std::string laughs = "<!ENTITY a0 \"laugh\">";
    for (int i = 1; i < 12; ++i)
        laughs += "<!ENTITY a" + std::to_string(i) + " \"" + [&] {
            std::string ten;
            for (int k = 0; k < 10; ++k) ten += "&a" + std::to_string(i - 1) + ";";
            return ten;
        }() + "\">";
    const std::string root = "<metalink xmlns=\"" + std::string(kNs) + "\">";
    const struct {
        const char* what;
        std::string document;
        Kind kind;
    } cases[] = {
        {"entity expansion",
         kDeclaration + "<!DOCTYPE metalink [" + laughs + "]>" + root +
             fileEntry("&a11;", "<size>&a11;</size>") + "</metalink>",
         Kind::Broken},
        {"internal entity",
         kDeclaration + "<!DOCTYPE metalink [<!ENTITY e \"laugh\">]>" + root +
             fileEntry("&e;", "<size>1</size>") + "</metalink>",
         Kind::Broken},
        {"external entity",
         kDeclaration + "<!DOCTYPE metalink [<!ENTITY s SYSTEM \"" + url + "\">]>" + root +
             fileEntry("s", "<size>&s;</size>") + "</metalink>",
         Kind::Broken},
        {"external parameter entity",
         kDeclaration + "<!DOCTYPE metalink [<!ENTITY % s SYSTEM \"" + url + "\"> %s;]>" + root +
             fileEntry("s", "<size>1</size>") + "</metalink>",
         Kind::NotMetalink}, // unreadable before the root: the reference is never resolved
        {"external DTD",
         kDeclaration + "<!DOCTYPE metalink SYSTEM \"" + url + "\">" + root +
             fileEntry("s", "<size>1</size>") + "</metalink>",
         Kind::Broken},
        {"external DTD before another root",
         kDeclaration + "<!DOCTYPE html SYSTEM \"" + url + "\"><html><body/></html>",
         Kind::NotMetalink},
        {"XInclude",
         metalink(fileEntry("s", "<size>1</size><xi:include "
                                 "xmlns:xi=\"http://www.w3.org/2001/XInclude\" href=\"" +
                                     url + "\" parse=\"text\"/>")),
         Kind::Ok},
    };
    for (const auto& c : cases) {
        MetalinkResult r;
        EXPECT_FALSE(opensFile(secret, [&] { r = parseMetalink(c.document, "s"); })) << c.what;
        EXPECT_EQ(r.kind, c.kind) << c.what << ": " << r.why;
        EXPECT_EQ(r.why.find("secret"), std::string::npos) << c.what;
        EXPECT_EQ(r.file.name.find("laugh"), std::string::npos) << c.what;
        EXPECT_EQ(r.file.name.find("secret"), std::string::npos) << c.what;
    }
}

TEST(Metalink, ParserErrorsStayOffStandardError) {
    testing::internal::CaptureStderr();
    parseMetalink("<html><p>unclosed", "s");
    parseMetalink(metalink(fileEntry("s", "<size>1</sise>")), "s");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Metalink, WrittenDocumentsReadBack) {
    const auto sha = [](const char* s) { return sha256(s); };
    const struct {
        const char* what;
        MetalinkFile file;
        std::string nameBack; // what the reader gives as the name
    } cases[] = {
        {"full", {"sample.bin", 2500, sha("w"), 1000, {sha("0"), sha("1"), sha("2")}}, ""},
        {"no hashes", {"plain", 10, std::nullopt, 0, {}}, ""},
        {"no size", {"plain", -1, sha("w"), 0, {}}, ""},
        {"markup in the name", {"<a> & \"b\" 'c' ]]> &amp;", 1, sha("w"), 1, {sha("x")}}, ""},
        {"white space in the name", {" a\tb\nc\r d ", 0, sha(""), 0, {}}, ""},
        {"Korean name", {"\xEC\x83\x98\xED\x94\x8C.bin", 3, std::nullopt, 0, {}}, ""},
        {"what XML cannot carry",
         {std::string("a\x01"
                      "b\xFF"
                      "c\xC3",
                      6),
          3,
          std::nullopt,
          0,
          {}},
         "a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD"
         "c\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        const std::string document = writeMetalink(c.file);
        EXPECT_EQ(document.rfind(kDeclaration, 0), 0U) << c.what;
        const MetalinkResult r = parseMetalink(document, "");
        ASSERT_EQ(r.kind, Kind::Ok) << c.what << ": " << r.why << "\n" << document;
        EXPECT_EQ(r.file.name, c.nameBack.empty() ? c.file.name : c.nameBack) << c.what;
        EXPECT_EQ(r.file.size, c.file.size) << c.what;
        EXPECT_EQ(r.file.sha256, c.file.sha256) << c.what;
        EXPECT_EQ(r.file.pieceLength, c.file.pieceLength) << c.what;
        EXPECT_EQ(r.file.pieces, c.file.pieces) << c.what;
    }
}

TEST(Metalink, DescribesAFileInOneRead) {
    const test::TempDir dir("quarn-metalink");
    std::string bytes(3 * 1024 * 1024 + 777, '\0');
    std::mt19937 random(11);
    for (char& c : bytes) c = static_cast<char>(random());
    const fs::path path = dir.path() / "f";
    test::writeFile(path, bytes);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);

    const auto slice = [&](int64_t from, int64_t length) {
        return std::string_view(bytes).substr(static_cast<std::size_t>(from),
                                              static_cast<std::size_t>(length));
    };
    // Sizes and piece lengths around the reader's 1 MiB blocks and the pieces' ends.
    const struct {
        int64_t size;
        int64_t pieceLength;
    } cases[] = {
        {static_cast<int64_t>(bytes.size()), kDefaultPieceLength},
        {static_cast<int64_t>(bytes.size()), 300000},
        {static_cast<int64_t>(bytes.size()), 1536 * 1024},
        {1001, 1},
        {2 * 1024 * 1024, kDefaultPieceLength},
        {1000, 1000},
        {1001, 1000},
        {999, 1000},
        {1, 1000},
        {0, 1000},
        {5000, 0},
    };
    for (const auto& c : cases) {
        const std::optional<MetalinkFile> file = describeFile(fd.get(), c.size, "f", c.pieceLength);
        ASSERT_TRUE(file.has_value()) << c.size << "/" << c.pieceLength;
        EXPECT_EQ(file->name, "f");
        EXPECT_EQ(file->size, c.size);
        EXPECT_EQ(file->sha256, sha256(slice(0, c.size))) << c.size << "/" << c.pieceLength;
        std::vector<Sha256> want;
        for (int64_t at = 0; c.pieceLength > 0 && at < c.size; at += c.pieceLength)
            want.push_back(sha256(slice(at, std::min(c.pieceLength, c.size - at))));
        EXPECT_EQ(file->pieces, want) << c.size << "/" << c.pieceLength;
        EXPECT_EQ(file->pieceLength, want.empty() ? 0 : c.pieceLength);
        // What it describes, written and read back, is the same.
        const MetalinkResult back = parseMetalink(writeMetalink(*file), "f");
        ASSERT_EQ(back.kind, Kind::Ok) << back.why;
        EXPECT_EQ(back.file.pieces, file->pieces);
        EXPECT_EQ(back.file.sha256, file->sha256);
    }
    EXPECT_FALSE(describeFile(fd.get(), static_cast<int64_t>(bytes.size()) + 1, "f").has_value());
    EXPECT_FALSE(describeFile(-1, 10, "f").has_value());
}

} // namespace
} // namespace quarn::engine
