#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "verify/crypto_helper.h"
#include "support/scratch_folder.h"
#include "support/sha256_hex.h"

using testsupport::ScratchFolder;

namespace {

struct Digest {
    bool ok;
    std::string hex;
    uint32_t code;
    uint32_t lastError;
};

Digest digestOf(const std::wstring& path, bool disableRedirection = false) {
    CryptoHelper helper;
    char hex[65];
    std::memset(hex, '#', sizeof(hex));
    hex[64] = '\0';
    Digest d{};
    d.ok = helper.fileDigest(path.c_str(), hex, d.code, d.lastError, disableRedirection);
    d.hex = hex;
    return d;
}

}  // namespace

TEST(FileDigest, KnownSha256Vectors) {
    ScratchFolder dir;
    struct Case {
        std::string content;
        const char* sha256;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testsupport::writeBytes(dir / L"f.bin", c.content));
        const Digest d = digestOf(dir / L"f.bin");
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.hex, c.sha256) << c.content.size() << " bytes";
        EXPECT_EQ(d.code, 0u);
    }
}

TEST(FileDigest, SizesAroundTheChunkBoundaryAreHashedWhole) {
    // Files of 'a' bytes around one and two chunks: each digest must equal the digest of the
    // same bytes fed to CryptoAPI in one piece.
    ScratchFolder dir;
    const size_t chunk = kDigestChunkBytes;
    for (size_t size : {chunk - 1, chunk, chunk + 1, 2 * chunk, 2 * chunk + 1, size_t{1000000}}) {
        const std::string content(size, 'a');
        ASSERT_TRUE(testsupport::writeBytes(dir / L"f.bin", content));
        const Digest d = digestOf(dir / L"f.bin");
        ASSERT_TRUE(d.ok) << size;
        EXPECT_EQ(d.hex, testsupport::providerSha256Hex(content)) << size;
    }
}

TEST(FileDigest, EmptyMissingAndUnopenableFilesGiveResultCodes) {
    ScratchFolder dir;
    ASSERT_TRUE(testsupport::writeBytes(dir / L"empty.bin", ""));
    Digest d = digestOf(dir / L"empty.bin");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.code, 1152u);
    EXPECT_EQ(d.hex, std::string(64, '#'));  // untouched

    d = digestOf(dir / L"missing.bin");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.code, 1151u);
    EXPECT_EQ(d.lastError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(d.hex, std::string(64, '#'));

    d = digestOf(dir / L"no-folder\\missing.bin");
    EXPECT_EQ(d.code, 1151u);
    EXPECT_EQ(d.lastError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));

    // Opened for writing without sharing: the digest cannot open it.
    HANDLE locked = CreateFileW((dir / L"locked.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    d = digestOf(dir / L"locked.bin");
    CloseHandle(locked);
    EXPECT_EQ(d.code, 1151u);
    EXPECT_EQ(d.lastError, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
}

TEST(FileDigest, OnlyAPlainFileOfOneNameIsHashed) {
    // A pipe opens like a file but is none (and has no size, so it is not "empty" either); a
    // file with a second name is one whose other name somebody else may have chosen; a folder
    // does not open as a file. Each is a file that did not open, with the reason.
    ScratchFolder dir;
    const std::wstring pipeName =
        L"\\\\.\\pipe\\vextra-digest-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                   4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(testsupport::writeBytes(dir / L"linked.bin", "abc"));
    ASSERT_TRUE(CreateHardLinkW((dir / L"second.bin").c_str(), (dir / L"linked.bin").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"folder").c_str(), nullptr));
    struct Case {
        std::wstring path;
        uint32_t lastError;
    } cases[] = {
        {pipeName, ERROR_CANT_ACCESS_FILE},
        {dir / L"linked.bin", ERROR_TOO_MANY_LINKS},
        {dir / L"second.bin", ERROR_TOO_MANY_LINKS},
        {dir / L"folder", ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        const Digest d = digestOf(c.path);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.code, 1151u);
        EXPECT_EQ(d.lastError, c.lastError);
        EXPECT_EQ(d.hex, std::string(64, '#'));
    }
    CloseHandle(pipe);
    // With its second name gone, the file is hashed.
    ASSERT_TRUE(DeleteFileW((dir / L"second.bin").c_str()));
    EXPECT_TRUE(digestOf(dir / L"linked.bin").ok);
}

TEST(FileDigest, OneHelperServesSeveralDigests) {
    ScratchFolder dir;
    ASSERT_TRUE(testsupport::writeBytes(dir / L"a.bin", "abc"));
    CryptoHelper helper;
    char hex[65] = {};
    uint32_t code = 0, lastError = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(helper.fileDigest((dir / L"a.bin").c_str(), hex, code, lastError, false));
        EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
}

TEST(FileDigest, RedirectionSwitchIsAskedAroundTheOpen) {
    // WOW64 file system redirection exists only for 32-bit processes on 64-bit Windows; there
    // the switch reaches the 64-bit system folder. A 64-bit process has nothing to switch off:
    // the call fails (ERROR_INVALID_FUNCTION) and the digest reports 1157 without opening.
    ScratchFolder dir;
    ASSERT_TRUE(testsupport::writeBytes(dir / L"a.bin", "abc"));
    const Digest d = digestOf(dir / L"a.bin", true);
#ifdef _WIN64
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.code, 1157u);
    EXPECT_EQ(d.lastError, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(d.hex, std::string(64, '#'));
#else
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
#endif
    // The thread is left as it was: a plain digest afterwards works.
    EXPECT_TRUE(digestOf(dir / L"a.bin").ok);
}
