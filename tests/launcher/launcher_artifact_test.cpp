// The resources of the built ZephraClient.exe, read back from the file: the icon group and the version.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "zephra_version.h"

namespace {

#pragma pack(push, 2)
struct group_icon_entry {
    BYTE width;
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
struct group_icon_header {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

class LauncherArtifact : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = zephra_test::deliverable(L"ZephraClient.exe");
        module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    std::vector<BYTE> resource(LPCWSTR name, LPCWSTR type) {
        HRSRC info = FindResourceW(module_, name, type);
        if (info == nullptr) return {};
        HGLOBAL loaded = LoadResource(module_, info);
        auto* data = static_cast<const BYTE*>(LockResource(loaded));
        return std::vector<BYTE>(data, data + SizeofResource(module_, info));
    }

    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST_F(LauncherArtifact, IconGroup104HoldsThreeDrawnImages) {
    std::vector<BYTE> group = resource(MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_GE(group.size(), sizeof(group_icon_header));
    const auto* header = reinterpret_cast<const group_icon_header*>(group.data());
    EXPECT_EQ(header->type, 1);
    ASSERT_EQ(header->count, 3);
    ASSERT_EQ(group.size(), sizeof(group_icon_header) + 3 * sizeof(group_icon_entry));
    const auto* entries = reinterpret_cast<const group_icon_entry*>(group.data() + sizeof(group_icon_header));
    const int sizes[3] = {48, 32, 16};
    const int bits[3] = {32, 24, 32};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        EXPECT_EQ(entries[i].width, sizes[i]);
        EXPECT_EQ(entries[i].height, sizes[i]);
        EXPECT_EQ(entries[i].bit_count, bits[i]);
        std::vector<BYTE> image = resource(MAKEINTRESOURCEW(entries[i].id), MAKEINTRESOURCEW(3));  // RT_ICON
        ASSERT_EQ(image.size(), entries[i].bytes);
        const auto* bitmap = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(bitmap->biWidth, sizes[i]);
        EXPECT_EQ(bitmap->biHeight, 2 * sizes[i]);  // colour rows and the mask
        EXPECT_EQ(bitmap->biBitCount, bits[i]);
        // A picture, not a blank: the AND mask has both transparent and opaque pixels.
        const int mask_row = ((sizes[i] + 31) / 32) * 4;
        const int colour_row = ((sizes[i] * bits[i] / 8) + 3) & ~3;
        const BYTE* mask = image.data() + sizeof(BITMAPINFOHEADER) + colour_row * sizes[i];
        int transparent = 0;
        for (int y = 0; y < sizes[i]; ++y) {
            for (int x = 0; x < sizes[i]; ++x) transparent += (mask[y * mask_row + x / 8] >> (7 - x % 8)) & 1;
        }
        EXPECT_GT(transparent, 0);
        EXPECT_LT(transparent, sizes[i] * sizes[i]);
    }
    // The shell can make an icon of it.
    HICON icon = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(104), IMAGE_ICON, 48, 48, 0));
    EXPECT_NE(icon, nullptr);
    if (icon != nullptr) DestroyIcon(icon);
}

TEST_F(LauncherArtifact, VersionResource) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    // The product version of the build (ZEPHRA_VERSION).
    const DWORD high = MAKELONG(ZEPHRA_VERSION_MINOR, ZEPHRA_VERSION_MAJOR);
    const DWORD low = MAKELONG(ZEPHRA_VERSION_BUILD, ZEPHRA_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));

    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t*, const wchar_t*> values[] = {
        {L"Comments", L"Zephra Remote Launcher"},
        {L"CompanyName", L"Brevant "},
        {L"FileDescription", L"Brevant Zephra Remote Launcher"},
        {L"FileVersion", L"" ZEPHRA_VERSION_TEXT},
        {L"InternalName", L"ZephraClient"},
        {L"OriginalFilename", L"ZephraClient.exe"},
        {L"ProductName", L"Brevant Zephra Remote"},
        {L"ProductVersion", L"" ZEPHRA_VERSION_TEXT},
    };
    for (const auto& value : values) {
        wchar_t* text = nullptr;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + value.first;
        ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << zephra_test::narrow(value.first);
        EXPECT_EQ(std::wstring(text), value.second) << zephra_test::narrow(value.first);
    }
}

}  // namespace
