// Throughput of the terminal: server output of four kinds fed through feedBytes in
// packet-sized calls, at columns/rows/scrollback given as the benchmark's arguments. The
// window is a notification target that does nothing, so only the terminal is measured.
//
//   build/bench/terminal_bench --benchmark_filter=BM_PlainText
#include <benchmark/benchmark.h>

#include <string>

#include "terminal/interpreter.h"
#include "terminal/terminal_screen.h"

namespace {

using namespace corvid1;

struct SilentTarget : NotificationTarget {
    void send(int, std::intptr_t, std::intptr_t) override {}
};

// What cat of a text file looks like: lines of 80 characters.
std::string plainText(int, int) {
    std::string text;
    for (int n = 0; text.size() < 256 * 1024; ++n) {
        std::string line = "Line " + std::to_string(n) + ": ";
        while (line.size() < 80) line += "the quick brown fox jumps over the lazy dog ";
        line.resize(80);
        text += line + "\r\n";
    }
    return text;
}

// What ls --color of a large directory looks like: a change of rendition every few bytes.
std::string renditionText(int, int) {
    static const char* kinds[] = {"\x1b[01;34m",    "\x1b[01;32m", "\x1b[01;36m",
                                  "\x1b[40;33;01m", "\x1b[00m",    "\x1b[01;31m"};
    std::string text;
    for (int n = 0; text.size() < 256 * 1024; ++n) {
        for (int k = 0; k < 5; ++k) {
            text += "\x1b[0m";
            text += kinds[(n + k) % 6];
            text += "entry" + std::to_string(n * 5 + k);
            text += "\x1b[0m/  ";
        }
        text += "\r\n";
    }
    return text;
}

// What a UTF-8 host's text in a European language looks like: lines of 80 characters, about
// one in eight of them accented (two bytes each).
std::string utf8Text(int, int) {
    static const char* words[] = {"Grüße", "aus",    "Köln",  "und",        "Zürich:", "café",
                                  "naïve", "façade", "señor", "Ærøskøbing", "déjà",    "vu",
                                  "the",   "quick",  "brown", "fox",        "jumps",   "över",
                                  "the",   "lazy",   "dog"};
    std::string text;
    for (int n = 0; text.size() < 256 * 1024; ++n) {
        std::string line = "Zeile " + std::to_string(n) + ": ";
        int characters = static_cast<int>(line.size());
        for (int k = n; characters < 72; ++k) {
            const std::string word = words[k % std::size(words)];
            line += word + " ";
            for (unsigned char c : word) characters += (c & 0xC0) != 0x80;
            ++characters;
        }
        text += line + "\r\n";
    }
    return text;
}

// What an editor or top redrawing the whole screen looks like: every row addressed, written
// and cleared to its end, a reverse-video status row, a scroll of the region now and then.
std::string cursorRedraw(int columns, int rows) {
    std::string text;
    for (int frame = 0; text.size() < 256 * 1024; ++frame) {
        text += "\x1b[H";
        for (int r = 1; r < rows; ++r) {
            text += "\x1b[" + std::to_string(r) + ";1H";
            std::string content = std::to_string(frame) + " row " + std::to_string(r) + " ";
            while (static_cast<int>(content.size()) < columns * 2 / 3) content += "data ";
            text += content + "\x1b[K";
        }
        text += "\x1b[" + std::to_string(rows) + ";1H\x1b[7m-- status " + std::to_string(frame) +
                " --\x1b[m\x1b[K";
        if (frame % 4 == 0) text += "\x1b[1;" + std::to_string(rows - 1) + "r\x1b[1;1H\x1bM\x1b[r";
        text += "\x1b[5;10H\x1b[3P\x1b[2;1H";
    }
    return text;
}

template <std::string (*Make)(int, int), RemoteCharset Charset = RemoteCharset::Windows1252>
void feedThroughTerminal(benchmark::State& state) {
    setRemoteCharset(Charset);
    const int columns = static_cast<int>(state.range(0));
    const int rows = static_cast<int>(state.range(1));
    const int scrollback = static_cast<int>(state.range(2));
    const std::string input = Make(columns, rows);
    SilentTarget target;
    TerminalScreen screen;
    attachScreen(&screen);
    screen.setScrollbackLines(scrollback);
    screen.resize(columns, rows, 0, 0, &target);
    constexpr std::size_t packet = 16 * 1024;  // about what one server data packet carries
    auto feedAll = [&] {
        for (std::size_t offset = 0; offset < input.size(); offset += packet) {
            feedBytes(input.data() + offset, std::min(packet, input.size() - offset));
        }
    };
    feedAll();  // fills the scrollback, so the timed runs drop the oldest line at every feed
    for (auto _ : state) {
        feedAll();
        benchmark::DoNotOptimize(screen.lineCharacters(screen.liveBottom));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input.size()));
    attachScreen(nullptr);
    setRemoteCharset(kDefaultRemoteCharset);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"columns", "rows", "scrollback"});
    for (const auto& size : {std::pair{80, 24}, std::pair{200, 60}}) {
        for (int scrollback : {0, 500}) b->Args({size.first, size.second, scrollback});
    }
}

void BM_PlainText(benchmark::State& state) {
    feedThroughTerminal<plainText>(state);
}
void BM_Rendition(benchmark::State& state) {
    feedThroughTerminal<renditionText>(state);
}
void BM_CursorRedraw(benchmark::State& state) {
    feedThroughTerminal<cursorRedraw>(state);
}
void BM_Utf8Text(benchmark::State& state) {
    feedThroughTerminal<utf8Text, RemoteCharset::Utf8>(state);
}

BENCHMARK(BM_PlainText)->Apply(sizes);
BENCHMARK(BM_Rendition)->Apply(sizes);
BENCHMARK(BM_CursorRedraw)->Apply(sizes);
BENCHMARK(BM_Utf8Text)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
