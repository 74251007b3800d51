#include "cli/escape_scanner.h"

namespace corvid1::cli {

namespace {

constexpr char escapeChar = '~';

bool endsLine(char c) {
    return c == '\r' || c == '\n';
}

}  // namespace

EscapeScanner::Result EscapeScanner::feed(const char* in, std::size_t length, std::string& out) {
    for (std::size_t i = 0; i < length; ++i) {
        const char c = in[i];
        switch (state_) {
            case State::LineStart:
                if (c == escapeChar) {
                    state_ = State::TildeSeen;
                    continue;
                }
                break;
            case State::TildeSeen:
                if (c == '.') {
                    state_ = State::LineStart;
                    return Result::Disconnect;
                }
                out.push_back(escapeChar);
                if (c == escapeChar) {
                    // "~~" stands for one '~', which does not start another escape.
                    state_ = State::MidLine;
                    continue;
                }
                break;
            case State::MidLine:
                break;
        }
        out.push_back(c);
        state_ = endsLine(c) ? State::LineStart : State::MidLine;
    }
    return Result::Continue;
}

}  // namespace corvid1::cli
