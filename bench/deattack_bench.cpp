// Cost of the CRC compensation attack detector per received packet, measured against the
// decryption of the same bytes, so the overhead it adds to the receive path can be read off.

#include <benchmark/benchmark.h>
#include <nettle/blowfish.h>
#include <nettle/cbc.h>

#include <random>
#include <vector>

#include "crypto/cipher.h"
#include "session/deattack.h"

namespace {

using namespace corvid1;

std::vector<std::uint8_t> randomBytes(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::mt19937 random(1);
    for (auto& b : bytes) b = std::uint8_t(random());
    return bytes;
}

void finish(benchmark::State& state) {
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

// A detector reused across packets, as on a connection.
void BM_Deattack(benchmark::State& state) {
    const auto packet = randomBytes(std::size_t(state.range(0)));
    const auto iv = randomBytes(8);
    DeattackDetector detector;
    for (auto _ : state) {
        auto result = detector.check(packet.data(), packet.size(), iv.data());
        benchmark::DoNotOptimize(result);
    }
    finish(state);
}

// Every block alike: the heaviest repetition a sender can make.
void BM_DeattackAllBlocksEqual(benchmark::State& state) {
    const std::vector<std::uint8_t> packet(std::size_t(state.range(0)), 0x5a);
    DeattackDetector detector;
    for (auto _ : state) {
        auto result = detector.check(packet.data(), packet.size(), packet.data());
        benchmark::DoNotOptimize(result);
    }
    finish(state);
}

// A new detector for every packet pays for its tables each time.
void BM_DeattackFreshDetector(benchmark::State& state) {
    const auto packet = randomBytes(std::size_t(state.range(0)));
    for (auto _ : state) {
        auto result = detectCrcAttack(packet.data(), packet.size(), nullptr);
        benchmark::DoNotOptimize(result);
    }
    finish(state);
}

void BM_OurBlowfishCbcDecrypt(benchmark::State& state) {
    const auto input = randomBytes(std::size_t(state.range(0)));
    std::vector<std::uint8_t> output(input.size());
    CipherContext context;
    const auto key = randomBytes(32);
    blowfishInitContext(context, key.data(), key.size(), 0);
    for (auto _ : state) {
        blowfishCbcDecrypt(context, output.data(), input.data(), input.size());
        benchmark::DoNotOptimize(output.data());
    }
    finish(state);
}

void BM_OurTripleDesCbcDecrypt(benchmark::State& state) {
    const auto input = randomBytes(std::size_t(state.range(0)));
    std::vector<std::uint8_t> output(input.size());
    CipherContext context;
    const auto key = randomBytes(32);
    tripleDesInitContext(context, key.data(), key.size(), 0);
    for (auto _ : state) {
        tripleDesCbcDecrypt(context, output.data(), input.data(), input.size());
        benchmark::DoNotOptimize(output.data());
    }
    finish(state);
}

void BM_NettleBlowfishCbcDecrypt(benchmark::State& state) {
    const auto input = randomBytes(std::size_t(state.range(0)));
    std::vector<std::uint8_t> output(input.size());
    const auto key = randomBytes(32);
    blowfish_ctx context;
    blowfish_set_key(&context, key.size(), key.data());
    std::uint8_t iv[BLOWFISH_BLOCK_SIZE] = {};
    for (auto _ : state) {
        cbc_decrypt(&context, reinterpret_cast<nettle_cipher_func*>(blowfish_decrypt),
                    BLOWFISH_BLOCK_SIZE, iv, input.size(), output.data(), input.data());
        benchmark::DoNotOptimize(output.data());
    }
    finish(state);
}

// A typical data packet (16 KiB) and the largest one (256 KiB plus padding).
constexpr std::int64_t kTypical = 16 * 1024;
constexpr std::int64_t kLargest = std::int64_t(kDeattackMaxBytes);

BENCHMARK(BM_Deattack)->Arg(64)->Arg(kTypical)->Arg(kLargest);
BENCHMARK(BM_DeattackAllBlocksEqual)->Arg(kTypical)->Arg(kLargest);
BENCHMARK(BM_DeattackFreshDetector)->Arg(kTypical)->Arg(kLargest);
BENCHMARK(BM_OurBlowfishCbcDecrypt)->Arg(kTypical)->Arg(kLargest);
BENCHMARK(BM_OurTripleDesCbcDecrypt)->Arg(kTypical)->Arg(kLargest);
BENCHMARK(BM_NettleBlowfishCbcDecrypt)->Arg(kTypical)->Arg(kLargest);

}  // namespace

BENCHMARK_MAIN();
