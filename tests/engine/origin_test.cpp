// What the engine believes of the origin's answers: the validator it pins,
// the digest it checks, and where the origin's document is.
#include "libquarn/digest.h"
#include "libquarn/origin.h"
#include "libquarn/response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarn::engine {
namespace {

ResponseHead headOf(const std::vector<std::string>& fields) {
    ResponseHead h;
    h.addLine("HTTP/1.1 206 Partial Content\r\n");
    for (const std::string& f : fields) h.addLine(f + "\r\n");
    h.addLine("\r\n");
    return h;
}

TEST(OriginFacts, PinsTheStrongValidatorOfTheFirstAnswer) {
    struct Case {
        std::vector<std::string> fields;
        std::string pinned;
    } cases[] = {
        {{"ETag: \"abc\"", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT"}, "\"abc\""},
        {{"ETag: W/\"abc\"", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT"},
         "Tue, 01 Dec 2026 10:00:00 GMT"},
        {{"ETag: W/\"abc\""}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        OriginFacts facts("");
        EXPECT_TRUE(facts.observe(headOf(c.fields)));
        EXPECT_EQ(facts.validator(), c.pinned);
    }
}

TEST(OriginFacts, ALaterAnswerOfAnotherFileIsAChange) {
    OriginFacts facts("");
    ASSERT_TRUE(facts.observe(headOf({"ETag: \"one\""})));
    EXPECT_TRUE(facts.observe(headOf({"ETag: \"one\""})));
    EXPECT_TRUE(facts.observe(headOf({}))) << "no validator is no evidence";
    EXPECT_FALSE(facts.observe(headOf({"ETag: \"two\""})));
}

TEST(OriginFacts, AnEarlierRunsValidatorStaysPinned) {
    OriginFacts facts("\"old\"");
    EXPECT_TRUE(facts.validatorFromMap());
    EXPECT_FALSE(facts.observe(headOf({"ETag: \"new\""})));
    facts.repin(headOf({"ETag: \"new\""}));
    EXPECT_EQ(facts.validator(), "\"new\"");
    EXPECT_TRUE(facts.observe(headOf({"ETag: \"new\""})));
}

TEST(OriginFacts, OnlyTheFirstAnswersDigestIsChecked) {
    const std::string one = "Repr-Digest: " + reprDigestValue(sha256("one"));
    const std::string two = "Repr-Digest: " + reprDigestValue(sha256("two"));
    OriginFacts late("");
    ASSERT_TRUE(late.observe(headOf({})));
    EXPECT_TRUE(late.observe(headOf({one})));
    EXPECT_FALSE(late.reprDigest().has_value()) << "the whole file was not hashed from the start";

    OriginFacts pinned("");
    ASSERT_TRUE(pinned.observe(headOf({one})));
    EXPECT_EQ(pinned.reprDigest(), sha256("one"));
    EXPECT_TRUE(pinned.observe(headOf({one})));
    EXPECT_FALSE(pinned.observe(headOf({two})));
}

TEST(DocumentLocation, ALinkOfTheRightKindElseBesideTheFile) {
    const std::string url = "http://h:1/site/dir/file.bin?x=1";
    const std::string beside = "http://h:1/site/dir/file.bin.meta4?x=1";
    struct Case {
        std::vector<std::string> links;
        std::string expected;
    } cases[] = {
        {{"</docs/file.meta4>; rel=describedby; type=\"application/metalink4+xml\""},
         "http://h:1/docs/file.meta4"},
        {{"<file.meta4>; rel=\"describedby other\"; type=\"application/metalink4+xml\""},
         "http://h:1/site/dir/file.meta4"},
        {{"<https://mirror/a,b.meta4>; type=\"application/metalink4+xml\"; rel=describedby"},
         "https://mirror/a,b.meta4"},
        {{"</x>; rel=next, </y.meta4>; rel=describedby; type=application/metalink4+xml"},
         "http://h:1/y.meta4"},
        {{"</doc.json>; rel=describedby; type=application/json"}, beside},
        {{"</doc.meta4>; rel=alternate; type=application/metalink4+xml"}, beside},
        {{}, beside},
    };
    for (const Case& c : cases) {
        ResponseHead h;
        h.links = c.links;
        EXPECT_EQ(documentLocation(h, url, beside), c.expected) << c.links.size();
    }
}

} // namespace
} // namespace quarn::engine
