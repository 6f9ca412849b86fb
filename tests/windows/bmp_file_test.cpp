#include "capture/bmp_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/dib.h"
#include "platform/win_handles.h"

namespace {

namespace fs = std::filesystem;

// A movable block holding the packed DIB `bytes`, as the capture action makes it.
UniqueGlobal BlockOf(const std::vector<uint8_t>& bytes) {
    UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
    GlobalLockGuard lock(block.get());
    if (lock.data()) std::memcpy(lock.data(), bytes.data(), bytes.size());
    return block;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TempFolder {  // removed with everything in it afterwards
    const fs::path path =
        fs::temp_directory_path() / (L"snapward_bmp_test_" + std::to_wstring(::GetCurrentProcessId()));
    TempFolder() { fs::remove_all(path), fs::create_directories(path); }
    ~TempFolder() { std::error_code ignored; fs::remove_all(path, ignored); }
};

}  // namespace

TEST(BmpFile, WritesWholeFilesOrNone) {
    const TempFolder temp;
    // 641 wide: padded rows, so the file must carry the padding bytes too.
    CapturedFrame frame{std::vector<uint8_t>(3 * 1924), 641, 3, 1924};
    for (size_t i = 0; i < frame.pixels.size(); ++i) frame.pixels[i] = static_cast<uint8_t>(i % 251);
    const std::vector<uint8_t> dib = EncodePackedDib(frame);
    UniqueGlobal block = BlockOf(dib);
    // Files that cannot be created: nothing is left behind.
    EXPECT_FALSE(WriteBmpFile(temp.path.c_str(), block.get()));  // a directory
    EXPECT_FALSE(WriteBmpFile((temp.path / L"no such folder" / L"a.bmp").c_str(), block.get()));
    EXPECT_TRUE(fs::is_directory(temp.path) && fs::is_empty(temp.path));

    const fs::path path = temp.path / L"capture.bmp";
    std::ofstream(path, std::ios::binary) << std::string(10000, 'x');  // longer than the bitmap
    ASSERT_TRUE(WriteBmpFile(path.c_str(), block.get()));
    const auto header = EncodeBmpFileHeader(dib.data(), dib.size());
    std::vector<uint8_t> file = dib;
    file.insert(file.begin(), header.begin(), header.end());
    EXPECT_EQ(ReadAll(path), file);
    // The block is still the caller's and still usable.
    EXPECT_NE(GlobalLockGuard(block.get()).data(), nullptr);

    // A block whose biSizeImage claims more pixels than it holds, or none at all,
    // leaves an old file as it was and creates no new one.
    std::vector<uint8_t> liarBytes = dib;
    liarBytes[22] = 0x40;
    UniqueGlobal liar = BlockOf(liarBytes);
    EXPECT_FALSE(WriteBmpFile(path.c_str(), liar.get()));
    EXPECT_FALSE(WriteBmpFile(path.c_str(), nullptr));
    EXPECT_EQ(ReadAll(path), file);
    EXPECT_FALSE(WriteBmpFile((temp.path / L"fresh.bmp").c_str(), liar.get()));
    EXPECT_FALSE(fs::exists(temp.path / L"fresh.bmp"));
}
