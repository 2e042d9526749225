// The version resources of the built binaries, read back as a file's
// Properties read them: every one carries the build's version, the product
// name and its own file name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct VersionResource {
    bool Found = false;
    std::string FixedFileVersion;     // from VS_FIXEDFILEINFO, "a.b.c.d"
    std::string FixedProductVersion;
    std::vector<char> Block;
    std::wstring StringTable;         // "\StringFileInfo\<language><code page>\"

    std::wstring Text(const wchar_t *name) {
        wchar_t *value = nullptr;
        UINT length = 0;
        std::wstring query = StringTable + name;
        if (!VerQueryValueW(Block.data(), query.c_str(), reinterpret_cast<void **>(&value),
                            &length) ||
            !value)
            return L"<missing>";
        return value;
    }
};

std::string Quad(DWORD high, DWORD low) {
    char text[64];
    snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(HIWORD(high)), unsigned(LOWORD(high)),
             unsigned(HIWORD(low)), unsigned(LOWORD(low)));
    return text;
}

VersionResource ReadVersion(const std::wstring &path) {
    VersionResource resource;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return resource;
    resource.Block.resize(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, resource.Block.data()))
        return resource;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(resource.Block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) ||
        length < sizeof *fixed)
        return resource;
    resource.FixedFileVersion = Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    resource.FixedProductVersion = Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    WORD *translation = nullptr;
    if (!VerQueryValueW(resource.Block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translation), &length) ||
        length < 2 * sizeof(WORD))
        return resource;
    wchar_t table[64];
    swprintf(table, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    resource.StringTable = table;
    resource.Found = true;
    return resource;
}

// What every one of our binaries must show in its Properties.
void ExpectTonvaleVersion(const std::wstring &path, const wchar_t *fileName) {
    SCOPED_TRACE(Narrow(path));
    VersionResource resource = ReadVersion(path);
    ASSERT_TRUE(resource.Found) << "no version resource, error " << GetLastError();
    EXPECT_EQ(resource.FixedFileVersion, TONVALE_VERSION_QUAD);
    EXPECT_EQ(resource.FixedProductVersion, TONVALE_VERSION_QUAD);
    EXPECT_EQ(resource.Text(L"ProductName"), L"Tonvale");
    EXPECT_EQ(resource.Text(L"FileVersion"), Widen(TONVALE_VERSION));
    EXPECT_EQ(resource.Text(L"ProductVersion"), Widen(TONVALE_VERSION));
    EXPECT_EQ(resource.Text(L"OriginalFilename"), fileName);
    EXPECT_EQ(resource.Text(L"CompanyName"), Widen(TONVALE_COMPANY));
    EXPECT_EQ(resource.Text(L"LegalCopyright"), Widen(TONVALE_COPYRIGHT));
    // Says which of the files this is, under the product's name.
    EXPECT_EQ(resource.Text(L"FileDescription").rfind(L"Tonvale ", 0), 0u)
        << Narrow(resource.Text(L"FileDescription"));
}

TEST(VersionResource, ServiceProgram) {
    ExpectTonvaleVersion(Widen(SERVICE_EXE_PATH), L"Tonvaled.exe");
}

TEST(VersionResource, PlugIn) {
    if (std::string(PLUGIN_DLL_PATH).empty())
        GTEST_SKIP() << "the build has no plug-in";
    ExpectTonvaleVersion(Widen(PLUGIN_DLL_PATH), L"out_tonvale.dll");
}

TEST(VersionResource, SetupProgram) {
    if (std::string(TONVALE_SETUP_PATH).empty())
        GTEST_SKIP() << "the build has no setup program (makensis missing)";
    ExpectTonvaleVersion(Widen(TONVALE_SETUP_PATH), L"Tonvale-setup.exe");
}

}  // namespace
