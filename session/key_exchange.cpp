#include "session/key_exchange.h"

#include <cstring>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "crypto/wipe.h"
#include "session/connection.h"
#include "session/crc_attack_inspector.h"
#include "session/login_timer.h"
#include "session/session.h"

namespace corvid1 {
namespace {

constexpr std::size_t sessionKeySize = 32;

struct CandidateRow {
    const char* name;
    int cipherNumber;
    int successor;  // NoCandidate: ask nextUntriedCipher
};

// Announced as "Attempting cipher type '<name>'...", then selected or not supported.
constexpr CandidateRow candidateTable[CandidateCount] = {
    {"3DES", 3, Candidate3DesCbc},
    {"3DESCBC", 3, NoCandidate},
    {"BLOWFISH", 6, CandidateBlowfishCbc},
    {"BLOWFISHCBC", 6, NoCandidate},
};

void printStatus(SessionFrontEnd& frontEnd, const std::string& text) {
    frontEnd.status(text.c_str());
}

// GMP keeps the limbs of a value that held key material in freed memory unless they are
// overwritten first.
void wipeInteger(mpz_t z) {
    const std::size_t limbs = mpz_size(z);
    if (limbs > 0) secureWipe(mpz_limbs_modify(z, limbs), limbs * sizeof(mp_limb_t));
    mpz_set_ui(z, 0);
}

// A zero exponent or modulus encrypts nothing, and a modulus with fewer bytes than its announced
// size cannot hold the block padded to that size: such a key is damaged, never a question for
// the user.
bool usableKey(const RsaPublicKey& key) {
    return key.bits <= maxKeyBits && mpz_sgn(key.exponent) > 0 && mpz_sgn(key.modulus) > 0 &&
           (mpz_sizeinbase(key.modulus, 2) + 7) / 8 >= (std::size_t{key.bits} + 7) / 8;
}

std::unique_ptr<EncryptedConnection> makeEncryptedConnection(int cipher, const Connection& plain) {
    switch (cipher) {
        case 3:
            return std::make_unique<TripleDesConnection>(plain);
        case 6:
            return std::make_unique<BlowfishConnection>(plain);
        default:
            return std::make_unique<NullCipherConnection>(plain);
    }
}

const char keyTooSmall[] = "ERROR - Server key too small for the session key\n";
const char malformedKey[] = "ERROR - Server public key packet is malformed\n";

}  // namespace

void writeFixedBigEndian(std::uint8_t* out, std::size_t n, const mpz_t z) {
    std::memset(out, 0, n);
    const std::size_t size = (mpz_sizeinbase(z, 2) + 7) / 8;
    std::vector<std::uint8_t> all(size + 1);
    std::size_t count = 0;
    mpz_export(all.data(), &count, 1, 1, 1, 0, z);
    const std::size_t kept = count < n ? count : n;
    std::memcpy(out + (n - kept), all.data() + (count - kept), kept);
}

void computeSessionId(std::uint8_t out[16], const std::uint8_t cookie[8], std::uint32_t hostBits,
                      const mpz_t hostModulus, std::uint32_t serverBits,
                      const mpz_t serverModulus) {
    const std::size_t hostBytes = (std::size_t{hostBits} + 7) / 8;
    const std::size_t serverBytes = (std::size_t{serverBits} + 7) / 8;
    std::vector<std::uint8_t> block(hostBytes + serverBytes + 8);
    writeFixedBigEndian(block.data(), hostBytes, hostModulus);
    writeFixedBigEndian(block.data() + hostBytes, serverBytes, serverModulus);
    std::memcpy(block.data() + hostBytes + serverBytes, cookie, 8);
    Md5Context context;
    md5Init(context);
    md5Update(context, block.data(), block.size());
    md5Final(out, context);
}

bool rsaEncryptPkcs1(mpz_t out, const mpz_t in, const RsaPublicKey& key, RandomPool& pool) {
    const std::size_t d = (mpz_sizeinbase(in, 2) + 7) / 8;
    const std::size_t k = (std::size_t{key.bits} + 7) / 8;
    if (k < d + minimumPkcs1Overhead || mpz_sgn(key.modulus) <= 0) return false;

    mpz_t block;
    mpz_init_set_ui(block, 2);
    for (std::size_t i = 2; i < k - d - 1; ++i) {
        std::uint8_t byte;
        do byte = pool.getByte();
        while (byte == 0);
        mpz_mul_2exp(block, block, 8);
        mpz_add_ui(block, block, byte);
    }
    mpz_mul_2exp(block, block, 8 * (d + 1));
    mpz_add(block, block, in);
    mpz_powm(out, block, key.exponent, key.modulus);
    wipeInteger(block);
    mpz_clear(block);
    return true;
}

int nextUntriedCipher(unsigned triedSet) {
    for (int candidate = 0; candidate < CandidateCount; ++candidate) {
        if ((triedSet & (1u << candidate)) == 0) return candidate;
    }
    return NoCandidate;
}

int chooseCipher(std::uint32_t preference, std::uint32_t supportedCiphers,
                 SessionFrontEnd& frontEnd) {
    if (preference == 0) return 0;
    // A preference other than 0, 3 or 6 is a caller's mistake; it must not silently turn the
    // encryption off, so it counts as the default, triple DES.
    int candidate = preference == 6 ? CandidateBlowfish : Candidate3Des;
    unsigned tried = 0;
    while (candidate != NoCandidate) {
        const CandidateRow& row = candidateTable[candidate];
        const std::string name = row.name;
        printStatus(frontEnd, "Attempting cipher type '" + name + "'...\n");
        if (supportedCiphers & (1u << row.cipherNumber)) {
            printStatus(frontEnd, "Cipher '" + name + "' selected.\n");
            return row.cipherNumber;
        }
        printStatus(frontEnd, "Cipher type '" + name + "' not supported by server.\n");
        tried |= 1u << candidate;
        candidate = row.successor != NoCandidate ? row.successor : nextUntriedCipher(tried);
    }
    return 0;
}

std::unique_ptr<RsaPublicKey> readServerKey(Session& session, MessageBuffer& buffer) {
    buffer.read(session.cookie, sizeof session.cookie);
    auto key = std::make_unique<RsaPublicKey>();
    key->bits = buffer.getUint32();
    buffer.getMpint(key->exponent);
    buffer.getMpint(key->modulus);
    if (buffer.broken() || !usableKey(*key)) return nullptr;
    return key;
}

bool exchangeKeys(Session& session, MessageBuffer& buffer, const RsaPublicKey& serverKey) {
    SessionFrontEnd& frontEnd = session.frontEnd();
    MessageBuffer message(SSH_CMSG_SESSION_KEY);

    RsaPublicKey hostKey;
    frontEnd.status("Getting host key bits\n");
    hostKey.bits = buffer.getUint32();
    frontEnd.status("Getting host key E\n");
    buffer.getMpint(hostKey.exponent);
    frontEnd.status("Getting host key N\n");
    buffer.getMpint(hostKey.modulus);
    if (buffer.broken() || !usableKey(hostKey)) {
        frontEnd.status(malformedKey);
        return false;
    }
    // The host key is known here and nothing has been derived from it yet.
    bool accepted = true;
    if (session.hostKeyVerifier_) {
        const LoginTimer::Pause askingTheUser(session.loginTimer_);
        accepted = session.hostKeyVerifier_->verifyHostKey(hostKey);
    }
    if (!accepted) {
        frontEnd.status("ERROR - Host key not accepted\n");
        session.result_.end = SessionEnd::HostKeyRejected;
        return false;
    }
    frontEnd.status("Getting flags/ciphers/auth\n");
    buffer.getUint32();  // protocol flags
    const std::uint32_t supportedCiphers = buffer.getUint32();
    session.authMask = buffer.getUint32();
    if (buffer.broken()) {
        frontEnd.status(malformedKey);
        return false;
    }

    frontEnd.status("Computing session id\n");
    computeSessionId(session.sessionId, session.cookie, hostKey.bits, hostKey.modulus,
                     serverKey.bits, serverKey.modulus);
    frontEnd.status("Session id computed\n");

    const std::string& seedFile = session.login().seedFilePath;
    RandomPool& pool = session.randomPool;
    pool.initialize(seedFile);
    frontEnd.status("Opening seedfile\n");
    pool.addSeedFileStart(seedFile);

    frontEnd.status("Creating session key\n");
    std::uint8_t sessionKey[sessionKeySize];
    for (std::uint8_t& byte : sessionKey) byte = pool.getByte();
    pool.saveSeed(seedFile);

    mpz_t k;
    mpz_init(k);
    for (std::size_t i = 0; i < sessionKeySize; ++i) {
        mpz_mul_2exp(k, k, 8);
        mpz_add_ui(k, k, i < 16 ? sessionKey[i] ^ session.sessionId[i] : sessionKey[i]);
    }

    frontEnd.status("Encrypting key\n");
    // The smaller key encrypts first so that the larger one has room for the result.
    const bool serverFirst = mpz_cmp(serverKey.modulus, hostKey.modulus) < 0;
    const RsaPublicKey& first = serverFirst ? serverKey : hostKey;
    const RsaPublicKey& second = serverFirst ? hostKey : serverKey;
    if (!rsaEncryptPkcs1(k, k, first, pool) || !rsaEncryptPkcs1(k, k, second, pool)) {
        wipeInteger(k);
        mpz_clear(k);
        secureWipe(sessionKey, sizeof sessionKey);
        frontEnd.status(keyTooSmall);
        return false;
    }
    frontEnd.status("Key encrypted\n");

    const int cipher = chooseCipher(session.login().cipherPreference, supportedCiphers, frontEnd);
    session.cipherNumber = static_cast<std::int8_t>(cipher);
    session.result_.cipher = cipher;

    frontEnd.status("Sending cipher/key\n");
    message.putByte(static_cast<std::uint8_t>(cipher));
    message.append(session.cookie, sizeof session.cookie);
    message.putMpint(k);
    message.putUint32(0);  // protocol flags
    session.sendPacket(session.plainConnection(), message);
    mpz_clear(k);

    auto keyed = makeEncryptedConnection(cipher, session.plainConnection());
    keyed->setSessionKey(sessionKey, sizeof sessionKey);
    secureWipe(sessionKey, sizeof sessionKey);
    // Without a cipher an attacker needs no trick to change the data, and plain text repeats
    // blocks freely; every real cipher gets the detector unless the caller chose an inspector.
    if (!session.inspector_ && cipher != 0)
        session.inspector_ = std::make_shared<CrcAttackInspector>();
    if (session.inspector_) keyed->setInspector(session.inspector_.get());
    session.publishEncryptedConnection(std::move(keyed));
    return true;
}

}  // namespace corvid1
