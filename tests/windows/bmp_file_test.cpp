#include "capture/bmp_file.h"

#include "capture/dib.h"
#include "capture_test_support.h"

using namespace capture_test;

// A movable block holding the packed DIB `bytes`, as the capture action makes it.
static UniqueGlobal BlockOf(const std::vector<uint8_t>& bytes) {
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
    if (GlobalLockGuard lock(block.get()); lock.data()) std::memcpy(lock.data(), bytes.data(), bytes.size());
    return block;
}

TEST(BmpFile, WritesWholeFilesOrNone) {
    const ScratchFolder temp(L"snapward-bmp-test");
    // 641 wide: padded rows, so the file must carry the padding bytes too.
    CapturedFrame frame{std::vector<uint8_t>(3 * 1924), 641, 3, 1924};
    for (size_t i = 0; i < frame.pixels.size(); ++i) frame.pixels[i] = static_cast<uint8_t>(i % 251);
    const std::vector<uint8_t> dib = EncodePackedDib(frame);
    UniqueGlobal block = BlockOf(dib);
    // Files that cannot be created: nothing is left behind.
    EXPECT_FALSE(WriteBmpFile(temp.path().c_str(), block.get()));  // a directory
    EXPECT_FALSE(WriteBmpFile((temp.path() + L"\\no such folder\\a.bmp").c_str(), block.get()));
    EXPECT_TRUE(temp.Files().empty());

    const std::wstring path = temp.path() + L"\\capture.bmp";
    std::ofstream(std::filesystem::path(path), std::ios::binary) << std::string(10000, 'x');  // longer than the bitmap
    ASSERT_TRUE(WriteBmpFile(path.c_str(), block.get()));
    const auto header = EncodeBmpFileHeader(dib.data(), dib.size());
    std::vector<uint8_t> file = dib;
    file.insert(file.begin(), header.begin(), header.end());
    EXPECT_EQ(ReadWholeFile(path), file);
    EXPECT_NE(GlobalLockGuard(block.get()).data(), nullptr) << "the block is still the caller's";

    // A block whose biSizeImage claims more pixels than it holds, or none at all,
    // leaves an old file as it was and creates no new one.
    std::vector<uint8_t> liarBytes = dib;
    liarBytes[22] = 0x40;
    UniqueGlobal liar = BlockOf(liarBytes);
    EXPECT_FALSE(WriteBmpFile(path.c_str(), liar.get()));
    EXPECT_FALSE(WriteBmpFile(path.c_str(), nullptr));
    EXPECT_EQ(ReadWholeFile(path), file);
    EXPECT_FALSE(WriteBmpFile((temp.path() + L"\\fresh.bmp").c_str(), liar.get()));
    EXPECT_EQ(WriteNewBmpFile((temp.path() + L"\\fresh.bmp").c_str(), liar.get()), NewBmpFile::Failed);
    // A new file never replaces one, whatever its block.
    EXPECT_EQ(WriteNewBmpFile(path.c_str(), block.get()), NewBmpFile::NameTaken);
    EXPECT_EQ(ReadWholeFile(path), file);
    EXPECT_EQ(temp.Files(), std::vector<std::wstring>{L"capture.bmp"});
}
