#include "cli/host_key_prompt.h"

#include <gtest/gtest.h>

namespace corvid1::cli {
namespace {

TEST(TrustAnswer, OnlyTheThreeWordsAnswerInAnyCaseBlanksAside) {
    EXPECT_EQ(parseTrustAnswer("yes"), UnknownHostKeyDecision::AcceptAndRemember);
    EXPECT_EQ(parseTrustAnswer("  YES\t"), UnknownHostKeyDecision::AcceptAndRemember);
    EXPECT_EQ(parseTrustAnswer("Once"), UnknownHostKeyDecision::ConnectOnce);
    EXPECT_EQ(parseTrustAnswer("no"), UnknownHostKeyDecision::Refuse);
    EXPECT_EQ(parseTrustAnswer(" nO "), UnknownHostKeyDecision::Refuse);
    // Nothing is taken for consent: not an empty line, not a prefix, not a longer word.
    for (const char* other :
         {"", " ", "y", "ye", "yess", "yes please", "o", "n", "nope", "yes\x1b", "1", "accept"})
        EXPECT_FALSE(parseTrustAnswer(other).has_value()) << '"' << other << '"';
}

TEST(TrustAnswer, TheQuestionNamesTheHostAndShowsTheFingerprint) {
    const std::string q = unknownHostKeyQuestion("[10.0.0.1]:2222", "1024 aa:bb");
    EXPECT_EQ(q,
              "The host key of [10.0.0.1]:2222 is not known. Its fingerprint is\n"
              "    1024 aa:bb\n"
              "Compare it with the one the server's administrator gave you.\n"
              "Connect and remember the key (yes), connect this time only (once), or not (no)? ");
}

}  // namespace
}  // namespace corvid1::cli
