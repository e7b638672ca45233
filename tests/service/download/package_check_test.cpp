// The staged package's one reading, on files that never reach a signature: each refusal with its
// lines (the manifest's digest checked over every byte all the same), no temporary installer
// left, and the installer file untouched. Signed packages made by
// openssl are checked end to end (tests/e2e).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "download/package_verification.h"
#include "support/log_capture.h"
#include "support/sha256_hex.h"

namespace {

using testsupport::LogCapture;
using testsupport::sha256Hex;

std::string hex(DWORD value) { return std::to_string(static_cast<int32_t>(value)); }

// The digest a case binds the package to.
enum class Bound { None, Own, Other };

}  // namespace

TEST(PackageCheck, RefusalsBeforeAnySignatureLogTheirCauseAndWriteNothing) {
    const std::string html = "<html><body>404 Not Found</body></html>";
    // The streamed (BER) form begins with an indefinite length.
    const std::string streamed("\x30\x80\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02\xa0\x80", 15);
    struct Case {
        const char* name;
        std::string bytes;
        bool boundSize;
        bool heldByWriter;
        std::vector<std::string> lines;
        Bound digest = Bound::None;
        bool secondName = false;  // a hard link elsewhere names the package too
    };
    const std::vector<Case> cases = {
        {"an HTML page", html, false, false,
         {"error 1330 0", "error 1217 " + hex(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))}},
        {"a streamed encoding", streamed, false, false,
         {"error 1331 0", "error 1217 " + hex(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))}},
        {"an empty file", "", false, false, {"error 1208 " + hex(ERROR_HANDLE_EOF)}},
        {"another size than the manifest's", html, true, false,
         {"error 1313 " + hex(ERROR_INVALID_DATA)}},
        // Nobody may write the package while it is read: a writer's open handle refuses the read.
        {"held open by a writer", html, false, true, {"error 1208 " + hex(ERROR_SHARING_VIOLATION)}},
        // A package that is no signed message still has every byte hashed for the binding: its
        // own digest passes the binding (and the signature check then refuses it), another
        // digest is refused by the binding first.
        {"no signed message, bound to its own digest", html, false, false,
         {"error 1330 0", "error 1217 " + hex(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))},
         Bound::Own},
        {"no signed message, bound to another digest", html, false, false,
         {"error 1313 " + hex(ERROR_INVALID_DATA)}, Bound::Other},
        // Somebody else's name for the package could be a file they go on changing: not read.
        {"a package with a second name", html, false, false,
         {"error 1208 " + hex(ERROR_TOO_MANY_LINKS)}, Bound::None, true},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const std::wstring package = log.folder() / L"vpi.tmp";
        const std::wstring installer = log.folder() / L"VextraPlayerInstaller.exe";
        ASSERT_TRUE(testsupport::writeBytes(package, c.bytes));
        ASSERT_TRUE(testsupport::writeBytes(installer, "previous installer"));
        if (c.secondName) {
            ASSERT_TRUE(CreateHardLinkW((log.folder() / L"elsewhere.bin").c_str(), package.c_str(),
                                        nullptr));
        }
        HANDLE writer = INVALID_HANDLE_VALUE;
        if (c.heldByWriter)
            writer = CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        PackageBinding binding;
        binding.hasSize = c.boundSize;
        binding.size = static_cast<uint32_t>(c.bytes.size() + 1);
        if (c.digest == Bound::Own) binding.sha256 = sha256Hex(c.bytes);
        if (c.digest == Bound::Other) binding.sha256 = std::string(64, '0');
        std::wstring path;
        EXPECT_FALSE(checkAndWritePackage(package.c_str(), binding, path)) << c.name;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_EQ(log.lines(), c.lines) << c.name;
        EXPECT_TRUE(path.empty()) << c.name;
        EXPECT_EQ(GetFileAttributesW((log.folder() / L"VextraPlayerInstaller.exe.tmp").c_str()),
                  INVALID_FILE_ATTRIBUTES)
            << c.name;
        std::unique_ptr<uint8_t[]> kept;
        uint32_t keptSize = 0;
        ASSERT_TRUE(readWholeFile(installer.c_str(), kept, keptSize)) << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(kept.get()), keptSize), "previous installer")
            << c.name;
    }
}
