// SHA-256 and its two written forms: known vectors, hex both ways, reads of
// a file's range, and Repr-Digest field values as servers may send them.
#include "libquarn/digest.h"
#include "libquarn/handles.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <optional>
#include <string>

namespace quarn::engine {
namespace {

// RFC 9530's own example: the digest of {"hello": "world"}.
constexpr const char* kHelloHex =
    "5f8f04f6a3a892aaabbddb6cf273894493773960d4a325b105fee46eef4304f1";
constexpr const char* kHelloBase64 = "X48E9qOokqqrvdts8nOJRJN3OWDUoyWxBf7kbu9DBPE=";
constexpr const char* kHelloBody = R"({"hello": "world"})";

TEST(Sha256, KnownVectorsWholeAndInPieces) {
    EXPECT_EQ(toHex(sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toHex(sha256("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(toHex(sha256(kHelloBody)), kHelloHex);

    // finish() starts over: the second digest does not carry the first.
    Sha256Hasher hasher;
    const std::string body = kHelloBody;
    for (char c : body) hasher.update(&c, 1);
    EXPECT_EQ(toHex(hasher.finish()), kHelloHex);
    hasher.update("abc", 3);
    EXPECT_EQ(hasher.finish(), sha256("abc"));

    // A clone goes on from the prefix; the original is untouched by it.
    hasher.update("ab", 2);
    Sha256Hasher trial = hasher.clone();
    trial.update("c", 1);
    EXPECT_EQ(trial.finish(), sha256("abc"));
    hasher.update("x", 1);
    EXPECT_EQ(hasher.finish(), sha256("abx"));

    Sha256Hasher moved = std::move(hasher);
    moved.update("abc", 3);
    EXPECT_EQ(moved.finish(), sha256("abc"));
}

TEST(Sha256, HexBothWays) {
    const Sha256 hello = sha256(kHelloBody);
    EXPECT_EQ(sha256FromHex(kHelloHex), hello);
    std::string upper = kHelloHex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(sha256FromHex(upper), hello);

    for (const std::string& bad :
         {std::string(), std::string(kHelloHex).substr(1), std::string(kHelloHex) + "0",
          std::string(63, '0') + "g", " " + std::string(kHelloHex).substr(1)})
        EXPECT_FALSE(sha256FromHex(bad).has_value()) << bad;
}

TEST(Sha256, RangeOfAFile) {
    const test::TempDir dir("quarn-digest");
    std::string bytes;
    for (int i = 0; i < 700000; ++i) bytes += static_cast<char>(i * 7 + i / 256);
    test::writeFile(dir.path() / "f", bytes);
    const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);

    const struct {
        int64_t offset;
        int64_t length;
        bool readable;
    } cases[] = {
        {0, 700000, true},  {12345, 300000, true}, {699999, 1, true}, {700000, 0, true},
        {0, 700001, false}, {700000, 1, false},    {-1, 10, false},   {0, -1, false},
    };
    for (const auto& c : cases) {
        const std::optional<Sha256> got = sha256OfRange(fd.get(), c.offset, c.length);
        ASSERT_EQ(got.has_value(), c.readable) << c.offset << "+" << c.length;
        if (got) {
            EXPECT_EQ(*got,
                      sha256(std::string_view(bytes).substr(static_cast<std::size_t>(c.offset),
                                                            static_cast<std::size_t>(c.length))))
                << c.offset << "+" << c.length;
        }
    }
    EXPECT_FALSE(sha256OfRange(-1, 0, 1).has_value());
}

TEST(ReprDigest, WritesTheMemberRfc9530Shows) {
    EXPECT_EQ(reprDigestValue(sha256(kHelloBody)), std::string("sha-256=:") + kHelloBase64 + ":");
    for (const std::string& body : {std::string(), std::string("abc"), std::string(1000, 'x')}) {
        const Sha256 d = sha256(body);
        EXPECT_EQ(parseReprDigest(reprDigestValue(d)), d);
    }
}

TEST(ReprDigest, ReadsOnlyAWellFormedSha256Member) {
    const std::string ok = std::string(":") + kHelloBase64 + ":";
    const std::string unpadded = std::string(":") + std::string(kHelloBase64, 43) + ":";
    const std::string sha512 =
        "sha-512=:WZDPaVn/7XgHaAy8pmojAkGWoRx2UFChF41A2svX+TaPm+AbwAgBWnrIiYllu7"
        "BNNyealdVLvRwEmTHWXvJwew==:";
    const Sha256 other = sha256("other");
    const struct {
        std::string value;
        bool found; // the digest of kHelloBody
    } cases[] = {
        {"sha-256=" + ok, true},
        {"sha-256=" + unpadded, true},
        {"  sha-256=" + ok + "  ", true},
        {sha512 + ", sha-256=" + ok, true},
        {sha512 + ",sha-256=" + ok + ",\tunixsum=30637", true},
        {"sha-256=" + ok + ";alg=1;x=\"a b\";y=tok/en;z=?1;w=-1.5", true},
        {"id-sha-256=" + ok + ", x=(1 2.25 \"s\" :AAAA: ?0);p, sha-256=" + ok, true},
        {"sha-256=:" + std::string(reprDigestValue(other)).substr(9) + ", sha-256=" + ok, true},
        {"sha-256", false},                       // a boolean true, not bytes
        {"sha-256=" + ok + ", sha-256=1", false}, // the later member replaces the earlier
        {sha512, false},
        {"", false},
        {"   ", false},
        {"<html><body>ok</body></html>", false},
        {"sha-256=" + std::string(kHelloBase64), false},          // a token
        {"sha-256=\"" + std::string(kHelloBase64) + "\"", false}, // a string
        {"SHA-256=" + ok, false},                                 // keys are lower case
        {"sha-256=" + ok + ",", false},
        {"sha-256=" + ok + " sha-512=:AA==:", false},
        {"sha-256=" + ok + ";", false},
        {"sha-256=" + ok + ", !bad", false},
        {"sha-256=:X48E9qOokqqrvdts8nOJRJN3OWDUoyWxBf7kbu9DBPF=:", false}, // stray low bits
        {"sha-256=:X48E9qOokqqrvdts8nOJRJN3OWDUoyWxBf7kbu9DBP==:", false}, // too short
        {"sha-256=:X48E9qOokqqrvdts8nOJRJN3OWDUoyWxBf7kbu9DBPEA:", false}, // too long
        {"sha-256=:X48E9qOokqqrvdts8nOJRJN3OWDUoy-xBf7kbu9DBPE=:", false}, // base64url
        {"sha-256=:X48E9qOokqqrvdts8nOJRJN3OWDUoyWxBf7kbu9DBPE=", false},  // unterminated
        {"sha-256=" + ok + ", x=(1 2", false},
        {"sha-256=" + ok + ", x=1234567890123456", false}, // integer too long
        {"sha-256=" + ok + ", x=1.2345", false},
        {"sha-256=" + ok + ", x=\"\x01\"", false},
    };
    for (const auto& c : cases) {
        const std::optional<Sha256> got = parseReprDigest(c.value);
        if (c.found)
            EXPECT_EQ(got, sha256(kHelloBody)) << c.value;
        else
            EXPECT_FALSE(got.has_value()) << c.value;
    }
}

} // namespace
} // namespace quarn::engine
