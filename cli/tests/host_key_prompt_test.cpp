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

}  // namespace
}  // namespace corvid1::cli
