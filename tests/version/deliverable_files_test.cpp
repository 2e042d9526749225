// The deliverables as files, read from disk whatever this build's own word
// size: 32-bit PE images that import system DLLs only, and a plug-in whose one
// export is the player's entry point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// A PE32 image read as a file: its headers, and RVAs turned into offsets.
struct Pe32File {
    std::string Bytes;
    const IMAGE_NT_HEADERS32 *Nt = nullptr;

    const IMAGE_SECTION_HEADER *Sections() const { return IMAGE_FIRST_SECTION(Nt); }

    // The file offset of an RVA, or 0 when no section holds it.
    size_t Offset(DWORD rva) const {
        for (WORD i = 0; i < Nt->FileHeader.NumberOfSections; i++) {
            const IMAGE_SECTION_HEADER &s = Sections()[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    }
    template <typename T> const T *At(DWORD rva) const {
        size_t offset = Offset(rva);
        if (offset == 0 || offset + sizeof(T) > Bytes.size())
            return nullptr;
        return reinterpret_cast<const T *>(Bytes.data() + offset);
    }
    std::string TextAt(DWORD rva) const {
        size_t offset = Offset(rva);
        if (offset == 0 || offset >= Bytes.size())
            return "<outside the file>";
        return std::string(Bytes.c_str() + offset, strnlen(Bytes.c_str() + offset, Bytes.size() - offset));
    }
    const IMAGE_DATA_DIRECTORY &Directory(int index) const {
        return Nt->OptionalHeader.DataDirectory[index];
    }
};

bool ReadPe32(const std::wstring &path, Pe32File *file) {
    file->Bytes = ReadFileBytes(path);
    if (file->Bytes.size() < sizeof(IMAGE_DOS_HEADER))
        return false;
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(file->Bytes.data());
    if (dos->e_magic != IMAGE_DOS_SIGNATURE ||
        size_t(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > file->Bytes.size())
        return false;
    file->Nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(file->Bytes.data() + dos->e_lfanew);
    return file->Nt->Signature == IMAGE_NT_SIGNATURE;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(tolower(c)); });
    return text;
}

std::vector<std::string> ImportedDlls(const Pe32File &file) {
    std::vector<std::string> dlls;
    const IMAGE_DATA_DIRECTORY &imports = file.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (DWORD rva = imports.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        auto *entry = file.At<IMAGE_IMPORT_DESCRIPTOR>(rva);
        if (!entry || entry->Name == 0)
            break;
        dlls.push_back(Lower(file.TextAt(entry->Name)));
    }
    return dlls;
}

// Checks what every deliverable must be, and leaves it in `file`.
void ExpectDeliverable(const char *path, Pe32File *file) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(ReadPe32(Widen(path), file)) << "not a PE image";
    EXPECT_EQ(file->Nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(file->Nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    // The runtime is linked in: nothing of the compiler's may be needed.
    const char *system[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "ws2_32.dll",
                            "winmm.dll",    "comctl32.dll", "msvcrt.dll", "gdi32.dll"};
    std::vector<std::string> dlls = ImportedDlls(*file);
    EXPECT_FALSE(dlls.empty());
    for (const std::string &dll : dlls)
        EXPECT_NE(std::find(std::begin(system), std::end(system), dll), std::end(system))
            << "imports " << dll;
}

TEST(DeliverableFile, ServiceIs32BitWithSystemImportsOnly) {
    Pe32File file;
    ExpectDeliverable(SERVICE_EXE_PATH, &file);
    EXPECT_FALSE(file.Nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(DeliverableFile, PlugInIs32BitWithOneExport) {
    if (std::string(PLUGIN_DLL_PATH).empty())
        GTEST_SKIP() << "the build has no plug-in";
    Pe32File file;
    ExpectDeliverable(PLUGIN_DLL_PATH, &file);
    EXPECT_TRUE(file.Nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
    auto *exports = file.At<IMAGE_EXPORT_DIRECTORY>(
        file.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    ASSERT_NE(exports, nullptr);
    EXPECT_EQ(exports->NumberOfFunctions, 1u);
    ASSERT_EQ(exports->NumberOfNames, 1u);
    auto *names = file.At<DWORD>(exports->AddressOfNames);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(file.TextAt(names[0]), "winampGetOutModule");
}

TEST(DeliverableFile, SetupProgramIs32Bit) {
    if (std::string(TONVALE_SETUP_PATH).empty())
        GTEST_SKIP() << "the build has no setup program (makensis missing)";
    Pe32File file;
    SCOPED_TRACE(TONVALE_SETUP_PATH);
    ASSERT_TRUE(ReadPe32(Widen(TONVALE_SETUP_PATH), &file)) << "not a PE image";
    EXPECT_EQ(file.Nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
}

}  // namespace
