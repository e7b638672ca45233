#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resources/string_resources.h"
#include "resources/expected_strings.h"
#include "support/scratch_folder.h"

namespace {

std::wstring serviceExe(const wchar_t* preset) {
    std::wstring path = VEXTRA_BUILD_DIR_W;
    if (std::wstring(preset) != L"win64") path += std::wstring(L"\\..\\") + preset;
    return path + L"\\VextraPlayerUpdateService.exe";
}

// The built program mapped as a data file (works for the 32-bit program as well).
class ProgramImage {
public:
    explicit ProgramImage(const std::wstring& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ProgramImage() {
        if (module_) FreeLibrary(module_);
    }
    ProgramImage(const ProgramImage&) = delete;
    ProgramImage& operator=(const ProgramImage&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// The string `id` of one language exactly as stored (a block holds 16 counted strings);
// nullptr-like result "<absent>" when that language or string is missing.
std::wstring storedString(HMODULE module, uint32_t id, uint16_t language) {
    HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6),
                                  MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!block) return L"<absent>";
    HGLOBAL loaded = LoadResource(module, block);
    const auto* p = static_cast<const wchar_t*>(LockResource(loaded));
    const DWORD size = SizeofResource(module, block) / sizeof(wchar_t);
    if (!p) return L"<absent>";
    const wchar_t* end = p + size;
    for (uint32_t i = 0; i < id % 16 && p < end; ++i) p += 1 + *p;
    if (p >= end || *p == 0) return L"<absent>";
    return std::wstring(p + 1, *p);
}

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    reinterpret_cast<std::set<WORD>*>(param)->insert(language);
    return TRUE;
}

class BuiltProgram : public ::testing::TestWithParam<const wchar_t*> {
protected:
    void SetUp() override {
        const std::wstring path = serviceExe(GetParam());
        if (!testsupport::fileExists(path))
            GTEST_SKIP() << "not built: " << testsupport::narrow(path);
        image_.reset(new ProgramImage(path));
        ASSERT_NE(image_->get(), nullptr) << GetLastError();
    }
    std::unique_ptr<ProgramImage> image_;
};

}  // namespace

TEST_P(BuiltProgram, CarriesBothStringsInSixteenLanguagesExactly) {
    HMODULE module = image_->get();
    std::set<uint16_t> expectedLanguages;
    for (const ExpectedString& e : kExpectedStrings) {
        expectedLanguages.insert(e.language);
        EXPECT_EQ(storedString(module, e.id, e.language), e.text)
            << "language " << e.language << ", string " << e.id;
    }
    EXPECT_EQ(expectedLanguages.size(), 16u);
    // Both ids live in the same block (ids 96 to 111 are block 7, 112 to 127 block 8):
    // exactly the sixteen languages, nothing else.
    for (uint32_t id : {110u, 120u}) {
        std::set<WORD> languages;
        EnumResourceLanguagesW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1),
                               collectLanguage, reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(std::set<uint16_t>(languages.begin(), languages.end()), expectedLanguages) << id;
    }
    // Swedish is stored under the language-neutral identifier 29 (the set above has no 1053);
    // a Swedish (Sweden) user interface still finds it through the neutral fallback.
    EXPECT_EQ(expectedLanguages.count(29), 1u);
    EXPECT_EQ(storedString(module, 110, 1053), storedString(module, 110, 29));
    // Spanish joins the product name's words with no-break spaces.
    EXPECT_NE(storedString(module, 120, 3082).find(L"Orvane\u00a0Vextra\u00a0Player"),
              std::wstring::npos);
}

TEST_P(BuiltProgram, ManifestRequiresAdministratorWithoutUiAccess) {
    HMODULE module = image_->get();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(data, nullptr);
    const std::string manifest(data, SizeofResource(module, found));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
}

TEST_P(BuiltProgram, LoadTextReadsTheStoredTextInTheUserInterfaceLanguage) {
    // The prefix's user interface language is English (United States).
    ASSERT_EQ(GetUserDefaultUILanguage(), 0x0409);
    HMODULE module = image_->get();
    EXPECT_EQ(loadTextFrom(module, kTaskDescriptionId), storedString(module, 110, 1033));
    EXPECT_EQ(loadTextFrom(module, kServiceDescriptionId), storedString(module, 120, 1033));
    EXPECT_EQ(loadTextFrom(module, 111), L"MISSING LOCALIZATION") << "same block, no string";
    EXPECT_EQ(loadTextFrom(module, 4000), L"MISSING LOCALIZATION") << "no such block";
}

INSTANTIATE_TEST_SUITE_P(Programs, BuiltProgram, ::testing::Values(L"win64", L"win32"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                             return testsupport::narrow(info.param);
                         });

TEST(LoadText, ProgramWithoutTheIdGivesTheFallback) {
    // This test program carries no string table.
    EXPECT_EQ(loadProgramText(kTaskDescriptionId), L"MISSING LOCALIZATION");
    EXPECT_EQ(loadProgramText(4711), L"MISSING LOCALIZATION");
    EXPECT_EQ(loadTextFrom(GetModuleHandleW(L"kernel32.dll"), 0xFFFF), L"MISSING LOCALIZATION");
}
