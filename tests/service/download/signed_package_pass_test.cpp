// The package's one pass as a download streams it, on packages that openssl signed at test
// time (the verify tests' fixture, tests/service/verify/make_packages.py): the installer is
// written only when the manifest's binding holds and the signed package verified at its end.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "download/package_verification.h"
#include "support/log_capture.h"
#include "support/sha256_hex.h"

namespace {

using testsupport::LogCapture;
using testsupport::sha256Hex;

const std::wstring kPackages = std::wstring(VEXTRA_BUILD_DIR_W) + L"\\test-packages\\verify\\";

std::string readAll(const std::wstring& path) {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    if (!readWholeFile(path.c_str(), bytes, size)) return std::string();
    return std::string(reinterpret_cast<const char*>(bytes.get()), size);
}

enum class Size { None, Own, OneMore };
enum class Digest { None, Own, Other };

}  // namespace

// (package, binding, installed): the check's verdict at the package's end decides, after the
// binding's size and digest over every byte streamed.
TEST(PackagePass, TheInstallerIsWrittenOnlyForABoundPackageThatVerified) {
    const std::string payload = readAll(kPackages + L"payload.bin");
    ASSERT_FALSE(payload.empty()) << "no packages made by the fixture";
    const struct {
        const wchar_t* package;
        Size size;
        Digest digest;
        bool installed;
        const char* line;  // the refusal's first line
    } rows[] = {
        {L"good-attrs.z", Size::None, Digest::None, true, nullptr},
        {L"good-noattr.z", Size::Own, Digest::Own, true, nullptr},
        // Refused at the end by the signed package's check.
        {L"content-changed-attrs.z", Size::None, Digest::None, false, "error 1332 "},
        {L"tls-certificate-signs.z", Size::None, Digest::None, false, "error 1358 0"},
        // Refused by the binding, whatever the signature says.
        {L"good-attrs.z", Size::OneMore, Digest::None, false, "error 1313 13"},
        {L"good-attrs.z", Size::None, Digest::Other, false, "error 1313 13"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.package, row.package + wcslen(row.package)));
        const std::string package = readAll(kPackages + row.package);
        ASSERT_FALSE(package.empty());
        LogCapture log;
        ASSERT_TRUE(testsupport::writeBytes(log.folder() / L"VextraPlayerInstaller.exe", "previous installer"));
        PackageBinding binding;
        binding.hasSize = row.size != Size::None;
        binding.size = static_cast<uint32_t>(package.size() + (row.size == Size::OneMore ? 1 : 0));
        if (row.digest == Digest::Own) binding.sha256 = sha256Hex(package);
        if (row.digest == Digest::Other) binding.sha256 = std::string(64, '0');
        PackagePass pass(binding);
        bool ok = pass.start();
        for (size_t at = 0; ok && at < package.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, package.size() - at);
            ok = pass.bytes(reinterpret_cast<const uint8_t*>(package.data()) + at, n);
        }
        std::wstring installerPath;
        ok = ok && pass.finish(installerPath);
        EXPECT_EQ(ok, row.installed);
        const std::string installed = readAll(log.folder() / L"VextraPlayerInstaller.exe");
        if (row.installed) {
            EXPECT_FALSE(installerPath.empty());
            EXPECT_EQ(installed, payload);
            EXPECT_TRUE(log.lines().empty());
            continue;
        }
        EXPECT_TRUE(installerPath.empty());
        EXPECT_EQ(installed, "previous installer");
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines()[0].compare(0, strlen(row.line), row.line), 0) << log.lines()[0];
    }
}
