// Every byte checked against the origin: its Metalink document's piece
// hashes, its validator and its digest. A hostile peer, a changed server
// file, a map of another download or a second process never end in a
// completed file with wrong bytes.
#include "libquarn/digest.h"
#include "libquarn/pieces.h"
#include "tests/engine/engine_test_env.h"
#include "tests/support/range_peer.h"
#include "tests/support/scripted_server.h"

#include <optional>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class VerifiedTest : public EngineTest {
protected:
    fs::path part(const Download& d) const { return mapped(d.localFileName).string() + ".part"; }
    fs::path map(const Download& d) const { return part(d).string() + ".map"; }

    int32_t startWith(const Download& d, const std::string& peers, const char* connections = "4",
                      const char* trust = "") {
        settings_.clear();
        settings_.emplace_back(std::make_unique<EngineEnv>("QUARN_PEERS", peers.c_str()));
        settings_.emplace_back(std::make_unique<EngineEnv>("QUARN_CONNECTIONS", connections));
        settings_.emplace_back(std::make_unique<EngineEnv>("QUARN_TRUST_PEERS", trust));
        return d.start();
    }

    // Completed, byte-exact, nothing left beside it.
    void expectComplete(const Download& d, const std::string& bytes) {
        ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE) << utf8(getDownloadStateJson());
        EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes) << "not the origin's bytes";
        EXPECT_FALSE(fs::exists(part(d)));
        EXPECT_FALSE(fs::exists(map(d)));
    }

    std::vector<std::unique_ptr<EngineEnv>> settings_;
};

std::string corrupted(std::string bytes, int64_t every) {
    for (std::size_t at = 1000; at < bytes.size(); at += static_cast<std::size_t>(every))
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
    return bytes;
}

TEST_F(VerifiedTest, TheOriginsDocumentIsFetchedAndUsed) {
    const std::string bytes = serve("capped_site", "sample.bin", 24 * kMiB);
    publishDocument("capped_site", "sample.bin", bytes);
    const Download d = request("capped_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    expectComplete(d, bytes);
    ASSERT_TRUE(
        waitFor([&] { return nginx_.accessLog().find(".meta4") != std::string::npos; }, 5s));
    EXPECT_NE(nginx_.accessLog().find("200 \"GET /capped_site/sample.bin.meta4 HTTP/1.1\""),
              std::string::npos)
        << nginx_.accessLog();
}

// -- Peers ---------------------------------------------------------------------

struct HostilePeer {
    const char* name;
    std::function<std::string(const std::string& file)> serves;
};

const HostilePeer kHostilePeers[] = {
    {"WrongBytesInEveryPiece", [](const std::string& f) { return corrupted(f, kMiB); }},
    {"AWrongByteEveryFewPieces", [](const std::string& f) { return corrupted(f, 3 * kMiB + 7); }},
    {"AnotherFileOfTheSameLength",
     [](const std::string& f) { return sampleBytes(f.size(), 4242); }},
};

class HostilePeers : public VerifiedTest, public ::testing::WithParamInterface<HostilePeer> {};

TEST_P(HostilePeers, AreCaughtByThePieceHashesAndDropped) {
    const std::string bytes = serve("capped_site", "sample.bin", 16 * kMiB);
    publishDocument("capped_site", "sample.bin", bytes);
    RangePeer peer({GetParam().serves(bytes)});
    const Download d = request("capped_site", "sample.bin", 16 * kMiB);
    ASSERT_EQ(startWith(d, peer.endpoint()), 0);
    expectComplete(d, bytes);
    EXPECT_GE(peer.gets(), 1u) << "the peer was never asked";
    EXPECT_LE(peer.gets(), 4u) << "a peer that sent a bad piece was asked again";
}

INSTANTIATE_TEST_SUITE_P(Engine, HostilePeers, ::testing::ValuesIn(kHostilePeers),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(VerifiedTest, WithoutADocumentPeersAreOnlyAskedWhenTrusted) {
    const std::string bytes = serve("capped_site", "sample.bin", 16 * kMiB);
    RangePeer peer({bytes});
    const Download d = request("capped_site", "sample.bin", 16 * kMiB);
    ASSERT_EQ(startWith(d, peer.endpoint()), 0);
    expectComplete(d, bytes);
    EXPECT_TRUE(peer.server().requests().empty()) << "an unverifiable peer was used";

    fs::remove(mapped(d.localFileName));
    ASSERT_EQ(startWith(d, peer.endpoint(), "4", "1"), 0);
    expectComplete(d, bytes);
    EXPECT_GE(peer.gets(), 1u);
}

// -- Documents that do not describe the file ----------------------------------

struct BadDocument {
    const char* name;
    std::function<std::string(const engine::MetalinkFile& right)> document;
};

std::string withSize(engine::MetalinkFile doc, int64_t size) {
    doc.size = size;
    return engine::writeMetalink(doc);
}

const BadDocument kBadDocuments[] = {
    {"AnotherSize", [](const engine::MetalinkFile& d) { return withSize(d, d.size + 1); }},
    {"BrokenXml",
     [](const engine::MetalinkFile& d) {
         const std::string text = engine::writeMetalink(d);
         return text.substr(0, text.size() / 2) + "<<<";
     }},
    {"APieceTheOriginDoesNotMatch",
     [](engine::MetalinkFile d) {
         d.pieces[d.pieces.size() / 2][0] ^= 1;
         return engine::writeMetalink(d);
     }},
};

class BadDocuments : public VerifiedTest, public ::testing::WithParamInterface<BadDocument> {};

TEST_P(BadDocuments, EndInState6WithNothingReportedComplete) {
    const std::string bytes = serve("capped_site", "sample.bin", 12 * kMiB);
    const engine::MetalinkFile right = publishDocument("capped_site", "sample.bin", bytes);
    writeFile(tmp_ / "www" / "capped_site" / "sample.bin.meta4", GetParam().document(right));
    const Download d = request("capped_site", "sample.bin", 12 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    EXPECT_EQ(waitForEnd(60s), QUARN_STATE_SERVER_ERROR);
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
    if (std::string(GetParam().name) != "APieceTheOriginDoesNotMatch") {
        EXPECT_EQ(poll().fileBytes, 0) << "bytes written before the document was judged";
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, BadDocuments, ::testing::ValuesIn(kBadDocuments),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(VerifiedTest, AnAnswerThatIsNoDocumentIsNoDocument) {
    const std::string bytes = serve("capped_site", "sample.bin", 12 * kMiB);
    for (const std::string& page : {std::string("<html><body>Not found</body></html>"),
                                    sampleBytes(5000, 1), std::string()}) {
        writeFile(tmp_ / "www" / "capped_site" / "sample.bin.meta4", page);
        const Download d = request("capped_site", "sample.bin", 12 * kMiB);
        ASSERT_EQ(startWith(d, ""), 0);
        expectComplete(d, bytes);
        fs::remove(mapped(d.localFileName));
    }
}

// -- A file that changes on the server ----------------------------------------

// Replaces the server's file once the download has `after` bytes, with new
// contents and a new modification time (so a new ETag).
std::string replaceWhen(const fs::path& file, int64_t after, std::size_t size) {
    const bool reached = waitFor([&] { return poll().fileBytes >= after; }, 20s);
    EXPECT_TRUE(reached);
    const std::string next = sampleBytes(size, 777);
    const fs::path fresh = file.string() + ".new";
    writeFile(fresh, next);
    fs::last_write_time(fresh, fs::last_write_time(file) + 10s);
    fs::rename(fresh, file);
    return next;
}

TEST_F(VerifiedTest, AFileReplacedMidDownloadIsNeverStitched) {
    for (const char* connections : {"1", "4"}) {
        SCOPED_TRACE(std::string(connections) + " connection(s)");
        const std::string before = serve("slow_site", "sample.bin", 12 * kMiB);
        const Download d = request("slow_site", "sample.bin", 12 * kMiB);
        ASSERT_EQ(startWith(d, "", connections), 0);
        const std::string after =
            replaceWhen(tmp_ / "www" / "slow_site" / "sample.bin", 2 * kMiB, before.size());
        const int32_t end = waitForEnd(60s);
        ASSERT_TRUE(end == QUARN_STATE_COMPLETE || end == QUARN_STATE_SERVER_ERROR) << end;
        // A response under way may go on with the old file: whole, either one.
        if (end == QUARN_STATE_COMPLETE) {
            const std::string got = readFile(mapped(d.localFileName));
            EXPECT_TRUE(got == after || got == before) << "stitched from two files";
        }
        stopDownload();
        fs::remove(mapped(d.localFileName));
        fs::remove(part(d));
        fs::remove(map(d));
    }
}

TEST_F(VerifiedTest, AResumeAfterTheFileChangedStartsOver) {
    const std::string before = serve("capped_site", "sample.bin", 24 * kMiB);
    const Download d = request("capped_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes > 6 * kMiB; }, 20s));
    stopDownload();
    const fs::path file = tmp_ / "www" / "capped_site" / "sample.bin";
    const std::string after = sampleBytes(before.size(), 31337);
    writeFile(file, after);
    fs::last_write_time(file, fs::file_time_type::clock::now() + 10s);
    ASSERT_EQ(startWith(d, ""), 0);
    expectComplete(d, after);
}

TEST_F(VerifiedTest, WithADocumentAChangedFileEndsInState6) {
    // Its document still describes the old file: nothing of the new one can
    // be checked, and nothing of the old one may be stitched to it.
    const std::string before = serve("capped_site", "sample.bin", 24 * kMiB);
    publishDocument("capped_site", "sample.bin", before);
    const Download d = request("capped_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes > 6 * kMiB; }, 20s));
    stopDownload();
    const fs::path file = tmp_ / "www" / "capped_site" / "sample.bin";
    writeFile(file, sampleBytes(before.size(), 31337));
    fs::last_write_time(file, fs::file_time_type::clock::now() + 10s);
    ASSERT_EQ(startWith(d, ""), 0);
    EXPECT_EQ(waitForEnd(60s), QUARN_STATE_SERVER_ERROR);
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
}

// -- Maps that are not what they say --------------------------------------------

engine::MapIdentity identityOf(const Download& d) {
    engine::MapIdentity id;
    id.server = "http://" + d.server;
    id.site = d.site;
    id.file = d.serverFileName;
    id.size = d.fileSize;
    return id;
}

TEST_F(VerifiedTest, AMapOfAnotherDownloadIsNotBelieved) {
    const std::string bytes = serve("capped_site", "sample.bin", 12 * kMiB);
    const Download d = request("capped_site", "sample.bin", 12 * kMiB);
    engine::MapIdentity other = identityOf(d);
    other.file = "other.bin";
    engine::RangeSet all;
    all.add(0, 12 * kMiB);
    fs::create_directories(part(d).parent_path());
    writeFile(part(d), sampleBytes(12 * kMiB, 5));
    writeFile(map(d), engine::serialiseMap(other, all));
    ASSERT_EQ(startWith(d, ""), 0);
    expectComplete(d, bytes);
    EXPECT_EQ(poll().received, 12 * kMiB) << "bytes of another download were kept";
}

TEST_F(VerifiedTest, AMapClaimingZerosIsReadBackAndRefetched) {
    const std::string bytes = serve("capped_site", "sample.bin", 12 * kMiB);
    const engine::MetalinkFile doc = publishDocument("capped_site", "sample.bin", bytes);
    const Download d = request("capped_site", "sample.bin", 12 * kMiB);
    engine::MapIdentity id = identityOf(d);
    id.document = engine::toHex(*doc.sha256);
    engine::RangeSet all;
    all.add(0, 12 * kMiB);
    fs::create_directories(part(d).parent_path());
    // The first half is right; the rest of the file is a hole of zeros.
    writeFile(part(d), bytes.substr(0, 6 * kMiB));
    fs::resize_file(part(d), 12 * kMiB);
    writeFile(map(d), engine::serialiseMap(id, all));
    ASSERT_EQ(startWith(d, ""), 0);
    expectComplete(d, bytes);
    // The zeros again, and at most a piece besides; the right half was kept.
    EXPECT_GE(poll().received, 6 * kMiB);
    EXPECT_LE(poll().received, 7 * kMiB);
}

TEST_F(VerifiedTest, AWholePartIsReadBackNotFetchedAgain) {
    const std::string bytes = serve("capped_site", "sample.bin", 12 * kMiB);
    publishDocument("capped_site", "sample.bin", bytes);
    const Download d = request("capped_site", "sample.bin", 12 * kMiB);
    fs::create_directories(part(d).parent_path());
    writeFile(part(d), bytes);
    ASSERT_EQ(startWith(d, ""), 0);
    expectComplete(d, bytes);
    EXPECT_EQ(poll().received, 0);
}

// -- Two processes on one file ---------------------------------------------------

TEST_F(VerifiedTest, ASecondProcessCannotStartOnAFileBeingDownloaded) {
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    const Download d = request("slow_site", "sample.bin", 3 * kMiB);
    stopDownload();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (d.start() != 0) ::_exit(100);
        const int32_t end = waitForEnd(60s);
        stopDownload(); // joins the finished transfer's thread
        ::_exit(end);
    }
    ASSERT_TRUE(waitFor(
        [&] {
            std::error_code e;
            return fs::file_size(part(d), e) > 256 * 1024 && !e;
        },
        20s));
    EXPECT_EQ(d.start(), QUARN_ERR_OPERATION);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
}

// -- The whole file's digest (RFC 9530) ------------------------------------------

TEST_F(VerifiedTest, TheOriginsReprDigestIsCheckedBeforeCompletion) {
    const std::string bytes = sampleBytes(300 * 1024, 9);
    for (const bool right : {true, false}) {
        SCOPED_TRACE(right ? "right digest" : "wrong digest");
        const std::string digest =
            engine::reprDigestValue(engine::sha256(right ? bytes : bytes + "x"));
        ScriptedServer server([&](const ScriptedRequest& r, Reply& reply) {
            if (r.line.find(".meta4") != std::string::npos) {
                reply.send(head("404 Not Found", {"Content-Length: 0"}));
                return;
            }
            reply.send(head("200 OK", {"Content-Length: " + std::to_string(bytes.size()),
                                       "Repr-Digest: " + digest})) &&
                reply.send(bytes);
        });
        Download d = request("test_site", "sample.bin", static_cast<int64_t>(bytes.size()));
        d.server = server.endpoint();
        ASSERT_EQ(startWith(d, ""), 0);
        EXPECT_EQ(waitForEnd(), right ? QUARN_STATE_COMPLETE : QUARN_STATE_SERVER_ERROR);
        EXPECT_EQ(fs::exists(mapped(d.localFileName)), right);
        bool asked = false;
        for (const ScriptedRequest& r : server.requests())
            asked = asked || r.header("want-repr-digest") == "sha-256=10";
        EXPECT_TRUE(asked) << "the origin was not asked for its digest";
        fs::remove(mapped(d.localFileName));
        fs::remove(part(d));
        fs::remove(map(d));
    }
}

} // namespace
} // namespace quarn::test
