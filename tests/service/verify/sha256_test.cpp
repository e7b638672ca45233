// The program's own SHA-256, both engines: the standard's examples, then every length across
// the block and padding boundaries and odd feeding steps against the system provider's digest
// of the same bytes.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "support/sha256_hex.h"
#include "verify/sha256.h"

namespace {

// The digest of bytes fed in steps of step bytes (0: in one call).
std::string ownDigest(Sha256::Engine engine, const std::string& bytes, size_t step = 0) {
    Sha256 digest(engine);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    if (step == 0) {
        digest.update(data, bytes.size());
    } else {
        for (size_t done = 0; done < bytes.size(); done += step)
            digest.update(data + done, std::min(step, bytes.size() - done));
    }
    uint8_t value[Sha256::kDigestBytes];
    digest.finish(value);
    return testsupport::hexOf(value, sizeof(value));
}

// Bytes that differ at every position and from one length to the next.
std::string pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

#ifdef __i386__
// Calls fn(arg) with the stack pointer `shift` bytes (0, 4, 8 or 12) below a 16-byte boundary at
// the call: what a thread the system starts may give the program on 32-bit Windows, which keeps
// 4-byte alignment only.
extern "C" void vextraCallWithStackShift(void (*fn)(void*), void* arg, uint32_t shift);
asm(".text\n"
    ".globl _vextraCallWithStackShift\n"
    "_vextraCallWithStackShift:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    movl 8(%ebp), %eax\n"
    "    movl 12(%ebp), %ecx\n"
    "    andl $-16, %esp\n"
    "    subl 16(%ebp), %esp\n"
    "    subl $12, %esp\n"
    "    pushl %ecx\n"
    "    call *%eax\n"
    "    movl %ebp, %esp\n"
    "    popl %ebp\n"
    "    ret\n");

struct ShiftedDigest {
    Sha256::Engine engine;
    const std::string* bytes;
    std::string digest;
};

void digestOnShiftedStack(void* parameter) {
    ShiftedDigest& job = *static_cast<ShiftedDigest*>(parameter);
    job.digest = ownDigest(job.engine, *job.bytes);
}
#endif

class Sha256Engines : public ::testing::TestWithParam<Sha256::Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256::Engine::ShaExtensions && !Sha256::shaExtensionsAvailable())
            GTEST_SKIP() << "this processor has no SHA extensions: only the portable engine runs here";
    }
};

}  // namespace

TEST_P(Sha256Engines, StandardExamples) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ownDigest(GetParam(), c.message), c.digest) << c.message.size() << " bytes";
        EXPECT_EQ(ownDigest(GetParam(), c.message, 7), c.digest) << c.message.size() << " bytes";
    }
}

TEST_P(Sha256Engines, EveryLengthAndStepAgreesWithTheProvider) {
    for (size_t size = 0; size <= 300; ++size) {
        const std::string bytes = pattern(size, static_cast<uint32_t>(size));
        const std::string expected = testsupport::providerSha256Hex(bytes);
        ASSERT_EQ(expected.size(), 64u);
        for (size_t step : {size_t(0), size_t(1), size_t(13), size_t(63), size_t(64), size_t(65)})
            ASSERT_EQ(ownDigest(GetParam(), bytes, step), expected)
                << size << " bytes in steps of " << step;
    }
    // Long input in the steps the package reading uses, and in odd ones.
    const std::string large = pattern(3 * 1024 * 1024 + 77, 3);
    const std::string expected = testsupport::providerSha256Hex(large);
    for (size_t step : {size_t(0), size_t(1024 * 1024), size_t(4096 + 3), size_t(100003)})
        EXPECT_EQ(ownDigest(GetParam(), large, step), expected) << "steps of " << step;
}

TEST_P(Sha256Engines, FinishStartsOver) {
    Sha256 digest(GetParam());
    const uint8_t junk[100] = {1, 2, 3};
    digest.update(junk, sizeof(junk));
    uint8_t first[32];
    digest.finish(first);
    digest.update(reinterpret_cast<const uint8_t*>("abc"), 3);
    uint8_t second[32];
    digest.finish(second);
    EXPECT_EQ(testsupport::hexOf(second, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_P(Sha256Engines, EveryStackAlignmentGivesTheSameDigest) {
#ifdef __i386__
    const std::string bytes = pattern(64 * 1024 + 5, 9);
    const std::string expected = testsupport::providerSha256Hex(bytes);
    for (uint32_t shift : {0u, 4u, 8u, 12u}) {
        ShiftedDigest job{GetParam(), &bytes, std::string()};
        vextraCallWithStackShift(&digestOnShiftedStack, &job, shift);
        EXPECT_EQ(job.digest, expected) << "stack " << shift << " bytes below a 16-byte boundary";
    }
#else
    GTEST_SKIP() << "the x86_64 calling convention keeps the stack 16-byte aligned at every call";
#endif
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Engines,
                         ::testing::Values(Sha256::Engine::Portable, Sha256::Engine::ShaExtensions),
                         [](const ::testing::TestParamInfo<Sha256::Engine>& info) {
                             return info.param == Sha256::Engine::Portable ? "Portable"
                                                                           : "ShaExtensions";
                         });

TEST(Sha256, DefaultEngineIsTheFastestThisProcessorRuns) {
    EXPECT_EQ(Sha256().engine(), Sha256::shaExtensionsAvailable() ? Sha256::Engine::ShaExtensions
                                                                   : Sha256::Engine::Portable);
    // A request for the extensions where there are none falls back, never runs them.
    if (!Sha256::shaExtensionsAvailable()) {
        EXPECT_EQ(Sha256(Sha256::Engine::ShaExtensions).engine(), Sha256::Engine::Portable);
    }
}
